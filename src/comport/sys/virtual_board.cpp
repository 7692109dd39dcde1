#include "comport/sys/virtual_board.h"

#include <utility>

namespace sys {

namespace {
constexpr std::uint64_t kStageMask = (std::uint64_t{1} << VirtualBoard::kStages) - 1;
}

std::shared_ptr<VirtualBoard> VirtualBoard::attach(EmulatedPlatform& platform,
                                                   const std::string& port) {
  auto board = std::make_shared<VirtualBoard>();
  std::weak_ptr<VirtualBoard> weak = board;
  platform.addOpener(
      [weak, port](const std::string& name, std::uint32_t& error) -> std::shared_ptr<Device> {
        auto board = weak.lock();
        if (!board || name != port) return nullptr;  // error stays "file not found"
        error = board->open();
        return error == 0 ? board : nullptr;
      });
  return board;
}

std::uint32_t VirtualBoard::open() {
  std::lock_guard lock(mutex_);
  if (!plugged_) return kErrorFileNotFound;
  if (openError_ != 0) return openError_;
  if (busy_ || open_) return kErrorAccessDenied;
  open_ = true;
  ++openCount_;
  mask_ = 0;
  history_ = 0;
  inQueue_.clear();
  errors_ = 0;
  return 0;
}

std::uint32_t VirtualBoard::check() {
  if (!open_) return kErrorInvalidHandle;
  if (!plugged_) return kErrorBadCommand;
  return 0;
}

bool VirtualBoard::countLineOperation(WaitCompletion& ended) {
  if (unplugCountdown_ < 0) return true;
  if (unplugCountdown_ == 0) {
    // Pulled out now: as with unplug(), a wait under way ends with an error.
    plugged_ = false;
    unplugCountdown_ = -1;
    ended = std::move(pending_);
    pending_ = nullptr;
    return false;
  }
  --unplugCountdown_;
  return true;
}

void VirtualBoard::noteFrameActivity() {
  if (!frameStarted_) {
    frameStarted_ = true;
    frameStart_ = Clock::now();
  }
}

void VirtualBoard::setDtrLocked(bool on) {
  if (on && !dtr_) {
    stages_ = ((stages_ << 1) | (rts_ ? 1u : 0u)) & kStageMask;
    ++stats_.shifts;
  }
  dtr_ = on;
}

void VirtualBoard::setRtsLocked(bool on) {
  rts_ = on;
}

std::uint32_t VirtualBoard::setupComm(std::uint32_t, std::uint32_t) {
  std::lock_guard lock(mutex_);
  return check();
}

std::uint32_t VirtualBoard::setCommState(const DCB& dcb) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check()) return error;
  if (dcb.DCBlength != sizeof(DCB) || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
      dcb.StopBits > 2 || dcb.BaudRate == 0) {
    return kErrorInvalidParameter;
  }
  dcb_ = dcb;
  // DTR_CONTROL_ENABLE / RTS_CONTROL_ENABLE raise the lines, as the driver does.
  const std::uint32_t dtrControl = (dcb.Flags >> 4) & 3;
  const std::uint32_t rtsControl = (dcb.Flags >> 12) & 3;
  if (rtsControl == 1) setRtsLocked(true);
  if (rtsControl == 0) setRtsLocked(false);
  if (dtrControl == 1) setDtrLocked(true);
  if (dtrControl == 0) setDtrLocked(false);
  return 0;
}

std::uint32_t VirtualBoard::setCommTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check()) return error;
  timeouts_ = timeouts;
  return 0;
}

std::uint32_t VirtualBoard::escape(std::uint32_t function) {
  WaitCompletion ended;
  std::unique_lock lock(mutex_);
  if (std::uint32_t error = check()) return error;
  if (!countLineOperation(ended)) {
    lock.unlock();
    if (ended) ended(kErrorBadCommand, 0);
    return kErrorBadCommand;
  }
  noteFrameActivity();
  switch (function) {
    case kSetRts: setRtsLocked(true); break;
    case kClrRts: setRtsLocked(false); break;
    case kSetDtr: setDtrLocked(true); break;
    case kClrDtr: setDtrLocked(false); break;
    default: return kErrorInvalidParameter;
  }
  return 0;
}

std::uint32_t VirtualBoard::modemStatus(std::uint32_t& status) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check()) return error;
  status = modem_;
  return 0;
}

std::uint32_t VirtualBoard::clearError(std::uint32_t& errors, ComStat& stat) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check()) return error;
  errors = errors_;
  errors_ = 0;
  stat = ComStat{};
  stat.cbInQue = static_cast<std::uint32_t>(inQueue_.size());
  return 0;
}

std::uint32_t VirtualBoard::purge(std::uint32_t flags) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check()) return error;
  if (flags & (kPurgeRxAbort | kPurgeRxClear)) inQueue_.clear();
  return 0;
}

std::uint32_t VirtualBoard::write(const std::uint8_t*, std::uint32_t count,
                                  std::uint32_t& written) {
  WaitCompletion ended;
  std::unique_lock lock(mutex_);
  written = 0;
  if (std::uint32_t error = check()) return error;
  if (count == 0) return 0;
  if (!countLineOperation(ended)) {
    lock.unlock();
    if (ended) ended(kErrorBadCommand, 0);
    return kErrorBadCommand;
  }
  // Every byte has a start bit, so every byte clocks the storage registers.
  noteFrameActivity();
  outputs_ = stages_;
  if (historySize_ > 0) {
    latched_.push_back(outputs_);
    if (latched_.size() > historySize_) latched_.pop_front();
  }
  const auto now = Clock::now();
  stats_.framesLatched += count;
  stats_.lastFrameDuration = now - frameStart_;
  stats_.lastLatch = now;
  frameStarted_ = false;
  written = count;
  return 0;
}

std::uint32_t VirtualBoard::setEventMask(std::uint32_t mask) {
  WaitCompletion ended;
  {
    std::lock_guard lock(mutex_);
    if (std::uint32_t error = check()) return error;
    mask_ = mask;
    history_ = 0;
    ended = std::move(pending_);
    pending_ = nullptr;
  }
  if (ended) ended(0, 0);
  return 0;
}

std::uint32_t VirtualBoard::waitEvent(WaitCompletion done) {
  std::uint32_t events = 0;
  {
    std::lock_guard lock(mutex_);
    if (std::uint32_t error = check()) return error;
    if (pending_) return kErrorInvalidParameter;
    if (history_ == 0) {
      pending_ = std::move(done);
      return 0;
    }
    events = history_;
    history_ = 0;
  }
  done(0, events);
  return 0;
}

void VirtualBoard::close() {
  WaitCompletion ended;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    open_ = false;
    // The driver drops both control lines when the port is closed.
    setDtrLocked(false);
    setRtsLocked(false);
    mask_ = 0;
    history_ = 0;
    ended = std::move(pending_);
    pending_ = nullptr;
  }
  if (ended) ended(kErrorOperationAborted, 0);
}

void VirtualBoard::addEvents(std::uint32_t events, std::vector<WaitCompletion>& fire) {
  events &= mask_;
  if (events == 0 || !open_) return;
  history_ |= events;
  if (pending_) {
    const std::uint32_t got = history_;
    history_ = 0;
    auto done = std::move(pending_);
    pending_ = nullptr;
    fire.push_back([done = std::move(done), got](std::uint32_t, std::uint32_t) { done(0, got); });
  }
}

void VirtualBoard::changeInput(std::uint32_t msBit, std::uint32_t evBit, bool on) {
  std::vector<WaitCompletion> fire;
  {
    std::lock_guard lock(mutex_);
    const bool was = (modem_ & msBit) != 0;
    if (was == on) return;
    modem_ = on ? (modem_ | msBit) : (modem_ & ~msBit);
    // EV_RING reports the ring going active, the others every change.
    if (evBit != kEvRing || on) addEvents(evBit, fire);
  }
  for (auto& done : fire) done(0, 0);
}

void VirtualBoard::setCts(bool on) {
  changeInput(kMsCtsOn, kEvCts, on);
}
void VirtualBoard::setDsr(bool on) {
  changeInput(kMsDsrOn, kEvDsr, on);
}
void VirtualBoard::setRlsd(bool on) {
  changeInput(kMsRlsdOn, kEvRlsd, on);
}
void VirtualBoard::setRing(bool on) {
  changeInput(kMsRingOn, kEvRing, on);
}

bool VirtualBoard::cts() const {
  std::lock_guard lock(mutex_);
  return (modem_ & kMsCtsOn) != 0;
}
bool VirtualBoard::dsr() const {
  std::lock_guard lock(mutex_);
  return (modem_ & kMsDsrOn) != 0;
}
bool VirtualBoard::rlsd() const {
  std::lock_guard lock(mutex_);
  return (modem_ & kMsRlsdOn) != 0;
}

void VirtualBoard::receive(const std::string& bytes) {
  std::vector<WaitCompletion> fire;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    inQueue_ += bytes;
    addEvents(kEvRxChar, fire);
  }
  for (auto& done : fire) done(0, 0);
}

void VirtualBoard::raiseErrors(std::uint32_t ceFlags) {
  std::vector<WaitCompletion> fire;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    errors_ |= ceFlags;
    addEvents(kEvErr, fire);
  }
  for (auto& done : fire) done(0, 0);
}

void VirtualBoard::raiseEvents(std::uint32_t evFlags) {
  std::vector<WaitCompletion> fire;
  {
    std::lock_guard lock(mutex_);
    addEvents(evFlags, fire);
  }
  for (auto& done : fire) done(0, 0);
}

void VirtualBoard::setBusy(bool busy) {
  std::lock_guard lock(mutex_);
  busy_ = busy;
}

void VirtualBoard::setOpenError(std::uint32_t error) {
  std::lock_guard lock(mutex_);
  openError_ = error;
}

void VirtualBoard::unplug() {
  WaitCompletion ended;
  {
    std::lock_guard lock(mutex_);
    plugged_ = false;
    unplugCountdown_ = -1;
    ended = std::move(pending_);
    pending_ = nullptr;
  }
  if (ended) ended(kErrorBadCommand, 0);
}

void VirtualBoard::unplugAfter(int lineOperations) {
  std::lock_guard lock(mutex_);
  unplugCountdown_ = lineOperations;
}

void VirtualBoard::replug() {
  std::lock_guard lock(mutex_);
  plugged_ = true;
  unplugCountdown_ = -1;
}

bool VirtualBoard::plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

bool VirtualBoard::output(int stage) const {
  std::lock_guard lock(mutex_);
  return stage >= 1 && stage <= kStages && ((outputs_ >> (stage - 1)) & 1u) != 0;
}

std::uint64_t VirtualBoard::outputBits() const {
  std::lock_guard lock(mutex_);
  return outputs_;
}

std::uint64_t VirtualBoard::stageBits() const {
  std::lock_guard lock(mutex_);
  return stages_;
}

bool VirtualBoard::dtr() const {
  std::lock_guard lock(mutex_);
  return dtr_;
}

bool VirtualBoard::rts() const {
  std::lock_guard lock(mutex_);
  return rts_;
}

VirtualBoard::Stats VirtualBoard::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
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

DCB VirtualBoard::lastDcb() const {
  std::lock_guard lock(mutex_);
  return dcb_;
}

CommTimeouts VirtualBoard::lastTimeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

std::uint32_t VirtualBoard::eventMask() const {
  std::lock_guard lock(mutex_);
  return mask_;
}

bool VirtualBoard::isOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

int VirtualBoard::openCount() const {
  std::lock_guard lock(mutex_);
  return openCount_;
}

}  // namespace sys
