#include "hil/linux_port.h"

#include "comport/sys/native_platform.h"

namespace hil {

sys::Platform& linuxPlatform() {
  return sys::nativePlatform();
}

}  // namespace hil
