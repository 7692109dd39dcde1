// The status wait of one port (SetCommMask, WaitCommEvent) as a driver keeps
// it, for the backends that play the driver: the mask, the events of the mask
// that came since the last wait, and the record of the wait under way, which
// the first such event completes.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "comport/sys/platform.h"

namespace sys {

// Not locked: its owner holds the port's lock around every call.
class StatusWait {
 public:
  // `signal` sets a completed wait's event.
  explicit StatusWait(std::function<void(Handle event)> signal) : signal_(std::move(signal)) {}

  std::uint32_t mask() const { return mask_; }
  // The record of the wait under way, or null.
  const Overlapped* pending() const { return overlapped_; }

  // A new mask: what came before it is forgotten, and a wait under way ends
  // with no events.
  void setMask(std::uint32_t mask) {
    mask_ = mask;
    history_ = 0;
    end(0, 0);
  }
  void forgetEvents() { history_ = 0; }

  // Begins a wait (its event already reset, none under way); true when
  // events since the last one complete it at once.
  bool begin(std::uint32_t* mask, Overlapped* overlapped) {
    overlapped->Internal = kStatusPending;
    waitMask_ = mask;
    overlapped_ = overlapped;
    const bool now = history_ != 0;
    add(0);
    return now;
  }

  void add(std::uint32_t events) {
    history_ |= events & mask_;
    if (history_ != 0 && overlapped_) end(0, std::exchange(history_, 0u));
  }

  // Completes the wait under way, as a driver completes an overlapped request.
  void end(std::uint32_t status, std::uint32_t events) {
    if (!overlapped_) return;
    *waitMask_ = events;
    overlapped_->InternalHigh = 0;
    overlapped_->Internal = status;
    signal_(overlapped_->hEvent);
    waitMask_ = nullptr;
    overlapped_ = nullptr;
  }

 private:
  std::function<void(Handle)> signal_;
  std::uint32_t mask_ = 0;
  std::uint32_t history_ = 0;
  std::uint32_t* waitMask_ = nullptr;
  Overlapped* overlapped_ = nullptr;
};

// What GetOverlappedResult reads from a transfer's record, as Win32 does
// (only the record is examined): 0, or the error, kErrorIoIncomplete while
// the transfer is under way.
inline std::uint32_t overlappedResult(const Overlapped& overlapped, std::uint32_t* transferred) {
  if (overlapped.Internal == kStatusPending) return kErrorIoIncomplete;
  if (transferred) *transferred = static_cast<std::uint32_t>(overlapped.InternalHigh);
  return static_cast<std::uint32_t>(overlapped.Internal);
}

}  // namespace sys
