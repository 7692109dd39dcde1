// The platform through which the rig's tests reach the guest's serial ports:
// the program's own Linux backend, exactly as the program builds it.
#pragma once

#include "comport/sys/platform.h"

namespace hil {

sys::Platform& linuxPlatform();

}  // namespace hil
