#include "comport/list_serial_ports.h"

#include <algorithm>
#include <cstring>

#include "comport/serial_port.h"

namespace comport {

namespace {

constexpr std::uint32_t kNameCapacity = 256;
constexpr std::uint32_t kDataCapacity = 256;

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
  sys::Handle key = 0;
  if (platform.RegOpenKeyExA(sys::kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                             sys::kKeyRead, &key) != 0) {
    throw EComPort(msg::kRegistry);
  }
  struct CloseKey {
    sys::Platform& platform;
    sys::Handle key;
    ~CloseKey() { platform.RegCloseKey(key); }
  } closeKey{platform, key};

  std::vector<std::string> found;
  for (std::uint32_t index = 0;; ++index) {
    char name[kNameCapacity];
    std::uint8_t data[kDataCapacity];
    std::uint32_t nameLength = kNameCapacity;
    std::uint32_t dataLength = kDataCapacity;
    std::uint32_t type = 0;
    const long result =
        platform.RegEnumValueA(key, index, name, &nameLength, &type, data, &dataLength);
    if (result == static_cast<long>(sys::kErrorNoMoreItems)) break;
    if (result != 0) throw EComPort(msg::kRegistry);
    // The data is text; it ends at its terminating null, or at its length.
    const auto* text = reinterpret_cast<const char*>(data);
    found.emplace_back(text, strnlen(text, std::min<std::uint32_t>(dataLength, kDataCapacity)));
  }
  std::stable_sort(found.begin(), found.end(), PortNameLess);
  Ports = std::move(found);
}

}  // namespace comport
