#include "comport/sys/virtual_board.h"

#include <utility>

namespace sys {

namespace {

thread_local std::uint32_t lastError = 0;
constexpr std::uint64_t kStageMask = (std::uint64_t{1} << VirtualBoard::kStages) - 1;
// The board's port handles, far from any handle of the platforms it is used with.
constexpr Handle kFirstHandle = Handle{0x7B00} << 32;

}  // namespace

VirtualBoard::VirtualBoard(std::string port, Platform& events)
    : device_("\\\\.\\" + std::move(port)), events_(events) {}

bool VirtualBoard::fail(std::uint32_t error) {
  lastError = error;
  return false;
}

bool VirtualBoard::failed() {
  return fail(events_.GetLastError());
}

std::uint32_t VirtualBoard::GetLastError() {
  return lastError;
}

std::uint32_t VirtualBoard::check(Handle h) const {
  return h == handle_ && h != kInvalidHandle ? 0 : kErrorInvalidHandle;
}

void VirtualBoard::noteFrameActivity() {
  if (!frameStarted_) {
    frameStarted_ = true;
    frameStart_ = Clock::now();
  }
}

void VirtualBoard::setDtrLocked(bool on) {
  if (on && !state_.dtr) {
    state_.stages = ((state_.stages << 1) | (state_.rts ? 1u : 0u)) & kStageMask;
    ++state_.shifts;
  }
  state_.dtr = on;
}

VirtualBoard::State VirtualBoard::state() const {
  std::lock_guard lock(mutex_);
  State now = state_;
  now.mask = wait_.mask();
  return now;
}

Handle VirtualBoard::CreateFileA(const std::string& name, std::uint32_t, std::uint32_t,
                                 std::uint32_t, std::uint32_t) {
  std::lock_guard lock(mutex_);
  if (name != device_) return fail(kErrorFileNotFound), kInvalidHandle;
  if (state_.open) return fail(kErrorAccessDenied), kInvalidHandle;
  handle_ = kFirstHandle + 4 * static_cast<Handle>(++state_.openCount);
  state_.open = true;
  wait_.setMask(0);  // no wait is under way: the close ended it
  inQueue_.clear();
  errors_ = 0;
  return handle_;
}

bool VirtualBoard::CloseHandle(Handle h) {
  {
    std::lock_guard lock(mutex_);
    if (check(h) == 0) {
      handle_ = kInvalidHandle;
      state_.open = false;
      // The driver drops both control lines when the port is closed.
      setDtrLocked(false);
      state_.rts = false;
      wait_.end(kErrorOperationAborted, 0);
      wait_.setMask(0);
      return true;
    }
  }
  return events_.CloseHandle(h) || failed();
}

bool VirtualBoard::SetupComm(Handle h, std::uint32_t, std::uint32_t) {
  std::lock_guard lock(mutex_);
  return check(h) == 0 || fail(check(h));
}

bool VirtualBoard::SetCommState(Handle h, const DCB& dcb) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (dcb.DCBlength != sizeof(DCB) || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
      dcb.StopBits > 2 || dcb.BaudRate == 0) {
    return fail(kErrorInvalidParameter);
  }
  state_.dcb = dcb;
  // DTR_CONTROL_ENABLE / RTS_CONTROL_ENABLE raise the lines, as the driver does.
  const std::uint32_t dtrControl = (dcb.Flags >> 4) & 3;
  const std::uint32_t rtsControl = (dcb.Flags >> 12) & 3;
  if (rtsControl <= 1) state_.rts = rtsControl == 1;
  if (dtrControl <= 1) setDtrLocked(dtrControl == 1);
  return true;
}

bool VirtualBoard::SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  state_.timeouts = timeouts;
  return true;
}

bool VirtualBoard::SetCommMask(Handle h, std::uint32_t mask) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  wait_.setMask(mask);
  return true;
}

bool VirtualBoard::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (!mask || !overlapped || wait_.pending()) return fail(kErrorInvalidParameter);
  events_.ResetEvent(overlapped->hEvent);
  return wait_.begin(mask, overlapped) || fail(kErrorIoPending);
}

bool VirtualBoard::GetOverlappedResult(Handle, Overlapped* overlapped, std::uint32_t* transferred,
                                       bool wait) {
  if (!overlapped) return fail(kErrorInvalidParameter);
  if (wait) WaitForSingleObject(overlapped->hEvent, kInfinite);
  // Like Win32, only the record is examined.
  std::lock_guard lock(mutex_);
  const std::uint32_t error = overlappedResult(*overlapped, transferred);
  return error == 0 || fail(error);
}

bool VirtualBoard::EscapeCommFunction(Handle h, std::uint32_t function) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (function < kSetRts || function > kClrDtr) return fail(kErrorInvalidParameter);
  noteFrameActivity();
  if (function <= kClrRts) {
    state_.rts = function == kSetRts;
  } else {
    setDtrLocked(function == kSetDtr);
  }
  return true;
}

bool VirtualBoard::GetCommModemStatus(Handle h, std::uint32_t* status) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (status) *status = state_.inputs;
  return true;
}

bool VirtualBoard::ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (errors) *errors = errors_;
  errors_ = 0;
  if (stat) *stat = ComStat{0, static_cast<std::uint32_t>(inQueue_.size()), 0};
  return true;
}

bool VirtualBoard::PurgeComm(Handle h, std::uint32_t flags) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (flags & (kPurgeRxAbort | kPurgeRxClear)) inQueue_.clear();
  return true;
}

bool VirtualBoard::WriteFile(Handle h, const void*, std::uint32_t count, std::uint32_t* written,
                             Overlapped* overlapped) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (count > 0) {
    // Every byte has a start bit, so every byte clocks the storage registers.
    noteFrameActivity();
    state_.outputs = state_.stages;
    if (historySize_ > 0) {
      latched_.push_back(state_.outputs);
      if (latched_.size() > historySize_) latched_.pop_front();
    }
    const auto now = Clock::now();
    state_.framesLatched += count;
    state_.lastFrameDuration = now - frameStart_;
    state_.lastLatch = now;
    frameStarted_ = false;
  }
  if (written) *written = count;
  if (overlapped) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = count;
    events_.SetEvent(overlapped->hEvent);
  }
  return true;
}

void VirtualBoard::changeInput(std::uint32_t msBit, std::uint32_t evBit, bool on) {
  std::lock_guard lock(mutex_);
  if (((state_.inputs & msBit) != 0) == on) return;
  state_.inputs ^= msBit;
  // EV_RING reports the ring going active, the others every change.
  if (state_.open && (evBit != kEvRing || on)) wait_.add(evBit);
}

void VirtualBoard::receive(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  if (!state_.open) return;
  inQueue_ += bytes;
  wait_.add(kEvRxChar);
}

void VirtualBoard::raiseErrors(std::uint32_t ceFlags) {
  std::lock_guard lock(mutex_);
  if (!state_.open) return;
  errors_ |= ceFlags;
  wait_.add(kEvErr);
}

void VirtualBoard::raiseEvents(std::uint32_t evFlags) {
  std::lock_guard lock(mutex_);
  if (state_.open) wait_.add(evFlags);
}

void VirtualBoard::keepHistory(std::size_t frames) {
  std::lock_guard lock(mutex_);
  historySize_ = frames;
  while (latched_.size() > historySize_) latched_.pop_front();
}

std::vector<std::uint64_t> VirtualBoard::history() const {
  std::lock_guard lock(mutex_);
  return {latched_.begin(), latched_.end()};
}

}  // namespace sys
