// The backends a port can be opened on, and the one place that chooses
// between them by the port's name.
#pragma once

#include <string>

#include "comport/sys/platform.h"

namespace sys {

// The backend of this OS (the real Win32 API, or termios on a tty), created
// on first use and alive for the whole run.
Platform& nativePlatform();

// The port name of the virtual board, on every OS.
inline constexpr const char* kVirtualPort = "VIRTUAL";

// The machine's own ports, and the virtual board when there is one: the name
// "VIRTUAL" opens the board, every other name the machine's port. A port's
// handles, events and waits all belong to the backend that opened it.
class Backends {
 public:
  Backends(Platform& machine, Platform* board = nullptr) : machine_(machine), board_(board) {}

  Platform& machine() const { return machine_; }
  Platform& forPort(const std::string& port) const {
    return board_ && port == kVirtualPort ? *board_ : machine_;
  }

 private:
  Platform& machine_;
  Platform* board_;
};

}  // namespace sys
