// The machine's serial ports, as the platform lists them (the registry on
// Windows, sysfs on Linux). Never opens a port.
#pragma once

#include <locale>
#include <string>
#include <vector>

#include "comport/sys/native_platform.h"
#include "comport/sys/platform.h"

namespace comport {

// Replaces `Ports` with the port names found, sorted by portNameLess,
// duplicates kept. Raises EComPort with the registry message when the list
// cannot be read or a name is longer than 255 characters; `Ports` is then
// unchanged.
void ListSerialPorts(sys::Platform& platform, std::vector<std::string>& Ports);
// The machine's ports and, where there is the fast path, its entries among them.
void ListSerialPorts(const sys::Backends& backends, std::vector<std::string>& Ports);

// The order of the list: by the rules of the user's locale (or of `locale`),
// without regard to case, as text (COM1, COM10, com2).
bool portNameLess(const std::string& a, const std::string& b);
bool portNameLessIn(const std::string& a, const std::string& b, const std::locale& locale);

}  // namespace comport
