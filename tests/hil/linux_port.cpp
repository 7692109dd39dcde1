#include "hil/linux_port.h"

#include "comport/sys/emulated_platform.h"
#include "comport/sys/posix_ports.h"

namespace hil {

sys::Platform& linuxPlatform() {
  static sys::EmulatedPlatform* platform = [] {
    auto* p = new sys::EmulatedPlatform;
    sys::addPosixDevices(*p);
    return p;
  }();
  return *platform;
}

}  // namespace hil
