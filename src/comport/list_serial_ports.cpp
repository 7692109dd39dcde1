#include "comport/list_serial_ports.h"

#include <algorithm>

#include "comport/serial_port.h"

namespace comport {

namespace {

// Windows reads each name into a buffer of 256 bytes, its terminating null
// included; the list keeps that limit on every system.
constexpr std::size_t kLongestName = 255;

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool PortNameLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(fold(x)) < static_cast<unsigned char>(fold(y));
  });
}

void ListSerialPorts(sys::Platform& platform, std::vector<std::string>& Ports) {
  std::vector<std::string> found;
  if (!platform.ListPorts(found) ||
      std::any_of(found.begin(), found.end(),
                  [](const std::string& name) { return name.size() > kLongestName; })) {
    throw EComPort(msg::kRegistry);
  }
  std::stable_sort(found.begin(), found.end(), PortNameLess);
  Ports = std::move(found);
}

}  // namespace comport
