// The Linux backend: a port handle is the tty's descriptor, an event an
// eventfd, and the overlapped waits are poll() on those. Modem-line changes
// are waited for with TIOCMIWAIT and counted with TIOCGICOUNT, so a pulse that
// is over before anyone looks still counts.
#pragma once

#include <memory>
#include <string>

#include "comport/sys/platform.h"

namespace sys {

// `devDir` and `sysDir` are the machine's /dev and /sys, `lockDir` the
// folder of the UUCP lock files; tests give folders of their own.
std::unique_ptr<Platform> makeLinuxPlatform(std::string devDir = "/dev",
                                            std::string sysDir = "/sys",
                                            std::string lockDir = "/run/lock");

// The device file a port name opens, found without opening anything, or ""
// when the name is not a serial port. A port name is a tty in `devDir`
// ("ttyUSB0", also as "/dev/ttyUSB0") or a link of serial/by-id or
// serial/by-path; what it leads to must be a pseudo-terminal slave or a tty of
// a serial driver, never the kernel's console, a virtual console, /dev/tty or
// /dev/ptmx.
std::string serialDevicePath(const std::string& port, const std::string& devDir = "/dev",
                             const std::string& sysDir = "/sys");

}  // namespace sys
