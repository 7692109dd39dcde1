// The machine's serial ports, as the platform lists them (the registry on
// Windows, sysfs on Linux). Never opens a port.
#pragma once

#include <string>
#include <vector>

#include "comport/sys/platform.h"

namespace comport {

// Replaces `Ports` with the port names found, sorted without regard to case in
// text order (COM1, COM10, COM2), duplicates kept. Raises EComPort with the
// registry message when the list cannot be read or a name is longer than 255
// characters; `Ports` is then unchanged.
void ListSerialPorts(sys::Platform& platform, std::vector<std::string>& Ports);

// Case-insensitive text order used for the list.
bool PortNameLess(const std::string& a, const std::string& b);

}  // namespace comport
