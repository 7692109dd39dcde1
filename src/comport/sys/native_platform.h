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
// The port list's entry of an FTDI adapter's fast path ends in this.
inline constexpr const char* kFastPortSuffix = " (FTDI, быстрый)";

inline bool isFastPort(const std::string& port) {
  const std::string suffix = kFastPortSuffix;
  return port.size() > suffix.size() &&
         port.compare(port.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The machine's own ports, the virtual board and the FTDI fast path when there
// are: the name "VIRTUAL" opens the board, a fast path's entry the adapter in
// bit-bang mode, every other name the machine's port. A port's
// handles, events and waits all belong to the backend that opened it.
class Backends {
 public:
  Backends(Platform& machine, Platform* board = nullptr, Platform* fast = nullptr)
      : machine_(machine), board_(board), fast_(fast) {}

  Platform& machine() const { return machine_; }
  Platform* fast() const { return fast_; }
  Platform& forPort(const std::string& port) const {
    if (fast_ && isFastPort(port)) return *fast_;
    return board_ && port == kVirtualPort ? *board_ : machine_;
  }

 private:
  Platform& machine_;
  Platform* board_;
  Platform* fast_;
};

}  // namespace sys
