#include "comport/sys/posix_ports.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "comport/sys/posix_device.h"

namespace sys {

namespace {

namespace fs = std::filesystem;

// A bare name inside the device directory: no separators, nothing that starts
// with a dot (".", "..", hidden entries), no "..", no control characters.
bool isPortName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.find("..") != std::string::npos) return false;
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

// The UART type serial_core shows for a port; -1 when there is none to read.
int uartType(const fs::path& entry) {
  std::ifstream in(entry / "type");
  int type = -1;
  return (in >> type) ? type : -1;
}

// The ttys the kernel writes its console to ("ttyS0", or "tty0 ttyS0"): a
// serial console is a real UART, but toggling its lines is never what a user
// of this program wants, and it would be the first port offered.
std::vector<std::string> consoleTtys(const std::string& sysClassTty) {
  std::ifstream in(sysClassTty + "/console/active");
  std::vector<std::string> names;
  for (std::string name; in >> name;) names.push_back(name);
  return names;
}

// Reads sysfs only: opening a serial tty would raise its DTR and RTS.
bool listPorts(const std::string& devDir, const std::string& sysClassTty,
               std::vector<std::pair<std::string, std::string>>& values) {
  const std::vector<std::string> consoles = consoleTtys(sysClassTty);
  std::error_code ec;
  for (auto it = fs::directory_iterator(sysClassTty, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    // A tty with a driver behind it is a serial device; consoles and ptys have none.
    if (!isPortName(name) || !fs::is_symlink(it->path() / "device" / "driver", ignored)) continue;
    // 8250-family names exist for every possible port; type 0 means no UART.
    if (uartType(it->path()) == 0) continue;
    if (std::find(consoles.begin(), consoles.end(), name) != consoles.end()) continue;
    values.emplace_back(devDir + "/" + name, name);
  }
  return !ec;
}

}  // namespace

void addPosixDevices(EmulatedPlatform& platform, std::string devDir, std::string sysClassTty) {
  platform.addOpener(
      [devDir](const std::string& port, std::uint32_t& error) -> std::shared_ptr<Device> {
        if (!isPortName(port)) {
          error = kErrorFileNotFound;
          return nullptr;
        }
        return PosixDevice::open(devDir + "/" + port, error);
      });
  platform.setSerialCommSource(
      [devDir, sysClassTty](std::vector<std::pair<std::string, std::string>>& values) {
        return listPorts(devDir, sysClassTty, values);
      });
}

}  // namespace sys
