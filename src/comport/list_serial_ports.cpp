#include "comport/list_serial_ports.h"

#include <algorithm>
#include <stdexcept>

#include "comport/serial_port.h"

namespace comport {

namespace {

// Windows reads each name into a buffer of 256 bytes, its terminating null
// included; the list keeps that limit on every system.
constexpr std::size_t kLongestName = 255;

// The locale the user's environment names; the classic one where it names
// none that this system has.
const std::locale& userLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

}  // namespace

bool portNameLess(const std::string& a, const std::string& b) {
  return portNameLessIn(a, b, userLocale());
}

bool portNameLessIn(const std::string& a, const std::string& b, const std::locale& locale) {
  std::string x = a;
  std::string y = b;
  const auto& ctype = std::use_facet<std::ctype<char>>(locale);
  ctype.tolower(x.data(), x.data() + x.size());
  ctype.tolower(y.data(), y.data() + y.size());
  return std::use_facet<std::collate<char>>(locale).compare(x.data(), x.data() + x.size(), y.data(),
                                                            y.data() + y.size()) < 0;
}

void ListSerialPorts(sys::Platform& platform, std::vector<std::string>& Ports) {
  std::vector<std::string> found;
  if (!platform.listPorts(found) ||
      std::any_of(found.begin(), found.end(),
                  [](const std::string& name) { return name.size() > kLongestName; })) {
    throw EComPort(msg::kRegistry);
  }
  std::stable_sort(found.begin(), found.end(), portNameLess);
  Ports = std::move(found);
}

void ListSerialPorts(const sys::Backends& backends, std::vector<std::string>& Ports) {
  std::vector<std::string> found;
  ListSerialPorts(backends.machine(), found);
  if (sys::Platform* fast = backends.fast()) {
    std::vector<std::string> entries;
    ListSerialPorts(*fast, entries);
    found.insert(found.end(), entries.begin(), entries.end());
    // "ttyUSB0 (FTDI, быстрый)" right after "ttyUSB0", which stays first.
    std::stable_sort(found.begin(), found.end(), portNameLess);
  }
  Ports = std::move(found);
}

}  // namespace comport
