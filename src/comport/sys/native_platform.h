// The platform of the machine the program runs on.
#pragma once

#include "comport/sys/platform.h"

namespace sys {

// The backend for this OS, created on first use and alive for the whole run:
// the real Win32 API on Windows.
Platform& nativePlatform();

}  // namespace sys
