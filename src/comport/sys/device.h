// A serial device hosted by the emulated platform: the posix backend's real tty
// and the virtual board both implement it. The platform owns handles, events and
// overlapped bookkeeping; a device only does what the port itself does.
#pragma once

#include <cstdint>
#include <functional>

#include "comport/sys/platform.h"

namespace sys {

class Device {
 public:
  virtual ~Device() = default;

  // Each returns 0 or a Win32 error code.
  virtual std::uint32_t setupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual std::uint32_t setCommState(const DCB& dcb) = 0;
  virtual std::uint32_t setCommTimeouts(const CommTimeouts& timeouts) = 0;
  virtual std::uint32_t escape(std::uint32_t function) = 0;
  virtual std::uint32_t modemStatus(std::uint32_t& status) = 0;
  virtual std::uint32_t clearError(std::uint32_t& errors, ComStat& stat) = 0;
  virtual std::uint32_t purge(std::uint32_t flags) = 0;
  // Returns once the bytes have left the port or the write timeout has passed.
  virtual std::uint32_t write(const std::uint8_t* data, std::uint32_t count,
                              std::uint32_t& written) = 0;

  // Event watching, with the semantics of SetCommMask / WaitCommEvent: the
  // device remembers the events of the mask that happened since the last wait.
  // setEventMask replaces the mask, forgets what was remembered and ends a
  // pending wait with no events.
  using WaitCompletion = std::function<void(std::uint32_t error, std::uint32_t events)>;
  virtual std::uint32_t setEventMask(std::uint32_t mask) = 0;
  // Calls `done` exactly once: at once (inside this call) when events are
  // remembered, otherwise later from any thread. Returns an error code when no
  // wait could be started; `done` is then not called.
  virtual std::uint32_t waitEvent(WaitCompletion done) = 0;

  // The handle is closed: end a pending wait and release the device.
  virtual void close() = 0;
};

}  // namespace sys
