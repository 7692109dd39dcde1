// The serial ports of a Linux machine on the emulated platform: a port name is
// a tty in the device directory, and the port list comes from sysfs.
#pragma once

#include <string>

#include "comport/sys/emulated_platform.h"

namespace sys {

// Makes `platform` open a port name such as "ttyUSB0" as devDir + "/ttyUSB0"
// (names that could reach outside devDir are refused as missing), and list as
// HARDWARE\DEVICEMAP\SERIALCOMM the ttys of sysClassTty that have a driver.
void addPosixDevices(EmulatedPlatform& platform, std::string devDir = "/dev",
                     std::string sysClassTty = "/sys/class/tty");

}  // namespace sys
