#include "comport/sys/linux_ftdi_platform.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <utility>

namespace sys {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

thread_local std::uint32_t lastError = 0;
constexpr const char* kDevicePrefix = "\\\\.\\";
// The fast path's handles, far from any handle of the platforms it is used with.
constexpr Handle kFirstHandle = Handle{0x7C00} << 32;
// The chip is kept at least kKeepFed ahead of its pins, more than a USB
// transfer takes to bring it more and than a busy machine pauses, so that it
// never runs out of bytes to drive and stops sampling; when it has less, the
// held state tops it up to kTopUp. Frames back to back keep it fed on their
// own, and a frame waits behind no more than kTopUp of held state.
constexpr auto kKeepFed = std::chrono::milliseconds(20);
constexpr auto kTopUp = std::chrono::milliseconds(30);
// Line states that no byte follows (the lines lowered after the open, say)
// go out after this; a frame, built in microseconds, goes out whole.
constexpr auto kLoneStates = std::chrono::milliseconds(5);
// The samples are read back this many at a time.
constexpr auto kReadEvery = std::chrono::milliseconds(2);
// How long the close waits for the last bytes to leave the pins (a chip
// that dropped samples never says they have).
constexpr auto kDrainLimit = std::chrono::milliseconds(500);
// The highest rate we stream at, in both directions; faster ports give a
// byte on TXD fewer samples per bit.
constexpr std::uint32_t kMaxByteRate = 200'000;

std::string readLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The parity bit of Parity 1 odd, 2 even, 3 mark, 4 space.
bool parityBit(std::uint8_t value, std::uint8_t bits, std::uint8_t parity) {
  int ones = 0;
  for (std::uint8_t i = 0; i < bits; ++i) ones += (value >> i) & 1;
  switch (parity) {
    case 1: return ones % 2 == 0;
    case 2: return ones % 2 == 1;
    case 3: return true;
    default: return false;
  }
}

}  // namespace

std::string ftdiPortName(const std::string& tty) {
  return tty + kFastPortSuffix;
}

// /sys/class/tty/ttyUSB0/device is the adapter's port under its USB
// interface, whose parent is the USB device.
std::vector<ftdi::Adapter> findFtdiAdapters(const std::string& sysDir) {
  std::vector<ftdi::Adapter> found;
  std::error_code ec;
  for (auto it = fs::directory_iterator(fs::path(sysDir) / "class/tty", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code linkEc;
    const fs::path port = fs::canonical(it->path() / "device", linkEc);
    if (linkEc || fs::read_symlink(port / "driver", linkEc).filename() != "ftdi_sio" || linkEc) {
      continue;
    }
    const fs::path usb = port.parent_path().parent_path();
    if (readLine(usb / "idVendor") != "0403") continue;
    ftdi::Adapter adapter;
    adapter.tty = it->path().filename().string();
    try {
      adapter.bus = std::stoi(readLine(usb / "busnum"));
      adapter.address = std::stoi(readLine(usb / "devnum"));
      adapter.interface = std::stoi(readLine(port.parent_path() / "bInterfaceNumber"), nullptr, 16);
    } catch (const std::exception&) {
      continue;  // an adapter going away as it is looked at
    }
    found.push_back(adapter);
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.tty < b.tty; });
  return found;
}

FtdiPlatform::FtdiPlatform(std::unique_ptr<ftdi::Chip> chip, std::string sysDir, Platform& events)
    : chip_(std::move(chip)), sysDir_(std::move(sysDir)), events_(events) {}

FtdiPlatform::~FtdiPlatform() {
  if (handle_ != kInvalidHandle) CloseHandle(handle_);
}

bool FtdiPlatform::fail(std::uint32_t error) {
  lastError = error;
  return false;
}

bool FtdiPlatform::failed() {
  return fail(events_.GetLastError());
}

std::uint32_t FtdiPlatform::GetLastError() {
  return lastError;
}

std::uint32_t FtdiPlatform::check(Handle h) const {
  if (h != handle_ || h == kInvalidHandle) return kErrorInvalidHandle;
  return gone_ ? kErrorBadCommand : 0;
}

// ---------------------------------------------------------------- frames

void FtdiPlatform::appendState(std::uint8_t pins) {
  if (pins == pins_) return;  // no edge, as on the UART
  if (pending_.empty()) pendingSince_ = Clock::now();
  pins_ = pins;
  pending_.push_back(pins);
  ++queued_;
}

void FtdiPlatform::appendByte(std::uint8_t value) {
  if (pending_.empty()) pendingSince_ = Clock::now();
  const auto bit = [this](bool high, std::uint32_t samples) {
    pins_ = static_cast<std::uint8_t>(high ? pins_ | ftdi::kTxd : pins_ & ~ftdi::kTxd);
    pending_.insert(pending_.end(), samples, pins_);
    queued_ += samples;
  };
  bit(false, samplesPerBit_);  // start
  for (std::uint8_t i = 0; i < dcb_.ByteSize; ++i) bit(((value >> i) & 1) != 0, samplesPerBit_);
  if (dcb_.Parity != 0) bit(parityBit(value, dcb_.ByteSize, dcb_.Parity), samplesPerBit_);
  // StopBits 0 one, 1 one and a half, 2 two.
  bit(true, samplesPerBit_ * (2 + dcb_.StopBits) / 2);
}

std::uint64_t FtdiPlatform::bytesFor(std::chrono::milliseconds time) const {
  return std::max<std::uint64_t>(1, std::uint64_t{byteRate_} * time.count() / 1000);
}

// Keeps the chip fed: a frame as soon as its byte is written, and while
// nothing else comes the last state again, so that the pins hold still and
// are sampled on.
void FtdiPlatform::drive() {
  std::vector<std::uint8_t> chunk;
  std::unique_lock lock(mutex_);
  for (;;) {
    // Wakes only when there is something to do: the line switches do not
    // call, the held state is topped up every 10 ms or so, and they go with it.
    const auto hungry = lineEnd_ - kKeepFed;
    const auto wake = pending_.empty() ? hungry : std::min(hungry, pendingSince_ + kLoneStates);
    changed_.wait_until(lock, wake, [this] { return stopping_ || gone_ || byteWritten_; });
    if (gone_) return;
    const auto now = Clock::now();
    chunk.clear();
    if (byteWritten_ || stopping_ || (!pending_.empty() && now - pendingSince_ >= kLoneStates)) {
      chunk.swap(pending_);
      byteWritten_ = false;
      driving_ = pins_;
    }
    if (stopping_ && chunk.empty()) return;
    if (chunk.empty() && !stopping_ && now >= hungry) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::max(lineEnd_, now) - now);
      chunk.assign(bytesFor(kTopUp - left), driving_);
    }
    if (chunk.empty()) continue;
    const std::uint64_t upTo = queued_ - pending_.size();
    driven_ += chunk.size();
    lock.unlock();
    const bool ok = chip_->write(chunk.data(), chunk.size());
    lock.lock();
    if (!ok) return lost();
    taken_ += chunk.size();
    sent_ = upTo;
    lineEnd_ = std::max(lineEnd_, Clock::now()) +
               std::chrono::microseconds(chunk.size() * 1'000'000 / byteRate_);
    changed_.notify_all();
  }
}

// ---------------------------------------------------------------- inputs

void FtdiPlatform::noteSample(std::uint8_t pins) {
  // Active low, as the UART reads them.
  const std::uint32_t now =
      ((pins & ftdi::kCts) ? 0 : kMsCtsOn) | ((pins & ftdi::kDsr) ? 0 : kMsDsrOn) |
      ((pins & ftdi::kRi) ? 0 : kMsRingOn) | ((pins & ftdi::kDcd) ? 0 : kMsRlsdOn);
  const std::uint32_t changed = now ^ inputs_;
  if (changed == 0) return;
  inputs_ = now;
  // EV_RING reports the ring going active, the others every change.
  wait_.add(((changed & kMsCtsOn) ? kEvCts : 0) | ((changed & kMsDsrOn) ? kEvDsr : 0) |
            ((changed & kMsRlsdOn) ? kEvRlsd : 0) | ((changed & now & kMsRingOn) ? kEvRing : 0));
}

// The adapter is gone: as a tty whose device went away, every call fails and
// the status wait ends with the error.
void FtdiPlatform::lost() {
  gone_ = true;
  pending_.clear();
  wait_.end(kErrorBadCommand, 0);
  changed_.notify_all();
}

// Reads the samples back, each input edge an event. When the port closes it
// goes on until the last byte driven has left the pins.
void FtdiPlatform::sample() {
  std::vector<std::uint8_t> samples(4096);
  for (;;) {
    std::size_t got = 0;
    std::size_t want = samples.size();
    {
      // libftdi returns once it has them all: a few at a time keeps the
      // inputs' events close behind the pins.
      std::lock_guard lock(mutex_);
      want = std::min<std::size_t>(want, bytesFor(kReadEvery));
    }
    const bool ok = chip_->read(samples.data(), want, got);
    std::lock_guard lock(mutex_);
    if (!ok) return lost();
    for (std::size_t i = 0; i < got; ++i) noteSample(samples[i]);
    sampled_ = std::min(sampled_ + got, driven_);
    changed_.notify_all();
    if (gone_ || (draining_ && (sampled_ >= driven_ || Clock::now() > drainedBy_))) return;
  }
}

void FtdiPlatform::startStreams() {
  stopping_ = false;
  draining_ = false;
  driver_ = std::thread([this] { drive(); });
  sampler_ = std::thread([this] { sample(); });
}

void FtdiPlatform::stopStreams() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (driver_.joinable()) driver_.join();
  {
    std::lock_guard lock(mutex_);
    draining_ = true;
    drainedBy_ = Clock::now() + kDrainLimit;
  }
  if (sampler_.joinable()) sampler_.join();
}

// ---------------------------------------------------------------- Platform

Handle FtdiPlatform::CreateFileA(const std::string& name, std::uint32_t, std::uint32_t,
                                 std::uint32_t, std::uint32_t) {
  const std::string prefix = kDevicePrefix;
  const std::string port = name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : "";
  if (!isFastPort(port)) return fail(kErrorFileNotFound), kInvalidHandle;
  const std::string tty = port.substr(0, port.size() - std::string(kFastPortSuffix).size());
  std::lock_guard chip(chipMutex_);
  {
    std::lock_guard lock(mutex_);
    if (handle_ != kInvalidHandle) return fail(kErrorAccessDenied), kInvalidHandle;
  }
  const auto adapters = findFtdiAdapters(sysDir_);
  const auto adapter =
      std::find_if(adapters.begin(), adapters.end(), [&](const auto& a) { return a.tty == tty; });
  if (adapter == adapters.end()) return fail(kErrorFileNotFound), kInvalidHandle;
  switch (chip_->open(*adapter)) {
    case ftdi::OpenResult::Ok: break;
    case ftdi::OpenResult::Missing: return fail(kErrorFileNotFound), kInvalidHandle;
    case ftdi::OpenResult::Busy: return fail(kErrorAccessDenied), kInvalidHandle;
    case ftdi::OpenResult::NoAccess: return fail(kErrorNoUsbAccess), kInvalidHandle;
    case ftdi::OpenResult::Failed: return fail(kErrorGenFailure), kInvalidHandle;
  }
  // Both control lines off and TXD idle, as a UART that nothing has set up.
  const std::uint8_t idle = ftdi::kOutputs;
  const std::uint32_t rate = 9600 * kSamplesPerBit;
  std::uint8_t pins = 0;
  if (!chip_->setBitMode(ftdi::kOutputs) || !chip_->setByteRate(rate) || !chip_->write(&idle, 1) ||
      !chip_->readPins(pins)) {
    chip_->close();
    return fail(kErrorGenFailure), kInvalidHandle;
  }
  std::unique_lock lock(mutex_);
  handle_ = kFirstHandle + 4 * static_cast<Handle>(++opens_);
  gone_ = false;
  dcb_ = DCB{};
  dcb_.BaudRate = 9600;
  dcb_.ByteSize = 8;
  samplesPerBit_ = kSamplesPerBit;
  byteRate_ = rate;
  pins_ = driving_ = idle;
  pending_.clear();
  byteWritten_ = false;
  lineEnd_ = Clock::now();
  queued_ = sent_ = 0;
  driven_ = taken_ = 1;  // the idle state above, whose sample is on its way
  sampled_ = 0;
  wait_.setMask(0);
  inputs_ = 0;
  noteSample(pins);
  startStreams();
  // The port is open once the chip drives and samples on its own: an input
  // that changes from then on is seen.
  changed_.wait_for(lock, std::chrono::seconds(2), [this] { return gone_ || taken_ > 1; });
  return handle_;
}

bool FtdiPlatform::CloseHandle(Handle h) {
  {
    std::lock_guard lock(mutex_);
    if (h != handle_ || h == kInvalidHandle) {
      return events_.CloseHandle(h) || failed();
    }
  }
  std::lock_guard chip(chipMutex_);
  // The lines lowered just before the close still reach the board, and the
  // chip lets go of the pins only once they have.
  stopStreams();
  chip_->close();
  std::lock_guard lock(mutex_);
  handle_ = kInvalidHandle;
  pending_.clear();
  wait_.end(kErrorOperationAborted, 0);
  wait_.setMask(0);
  return true;
}

bool FtdiPlatform::SetupComm(Handle h, std::uint32_t, std::uint32_t) {
  std::lock_guard lock(mutex_);
  return check(h) == 0 || fail(check(h));
}

bool FtdiPlatform::SetCommState(Handle h, const DCB& dcb) {
  std::lock_guard chip(chipMutex_);
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (dcb.DCBlength != sizeof(DCB) || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
      dcb.StopBits > 2 || dcb.BaudRate == 0) {
    return fail(kErrorInvalidParameter);
  }
  const std::uint32_t perBit =
      std::clamp<std::uint32_t>(kMaxByteRate / dcb.BaudRate, 1, kSamplesPerBit);
  if (!chip_->setByteRate(dcb.BaudRate * perBit)) return fail(kErrorNotSupported);
  dcb_ = dcb;
  samplesPerBit_ = perBit;
  byteRate_ = dcb.BaudRate * perBit;
  // DTR_CONTROL_ENABLE / RTS_CONTROL_ENABLE raise the lines, both at once.
  const std::uint32_t dtrControl = (dcb.Flags >> 4) & 3;
  const std::uint32_t rtsControl = (dcb.Flags >> 12) & 3;
  std::uint8_t pins = pins_;
  if (rtsControl <= 1) pins = rtsControl == 1 ? pins & ~ftdi::kRts : pins | ftdi::kRts;
  if (dtrControl <= 1) pins = dtrControl == 1 ? pins & ~ftdi::kDtr : pins | ftdi::kDtr;
  appendState(pins);
  return true;
}

bool FtdiPlatform::SetCommTimeouts(Handle h, const CommTimeouts&) {
  std::lock_guard lock(mutex_);
  return check(h) == 0 || fail(check(h));
}

bool FtdiPlatform::SetCommMask(Handle h, std::uint32_t mask) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  wait_.setMask(mask);
  return true;
}

bool FtdiPlatform::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (!mask || !overlapped || wait_.pending()) return fail(kErrorInvalidParameter);
  events_.ResetEvent(overlapped->hEvent);
  return wait_.begin(mask, overlapped) || fail(kErrorIoPending);
}

bool FtdiPlatform::GetOverlappedResult(Handle, Overlapped* overlapped, std::uint32_t* transferred,
                                       bool wait) {
  if (!overlapped) return fail(kErrorInvalidParameter);
  if (wait) WaitForSingleObject(overlapped->hEvent, kInfinite);
  // Like Win32, only the record is examined.
  std::lock_guard lock(mutex_);
  if (overlapped->Internal == kStatusPending) return fail(kErrorIoIncomplete);
  if (transferred) *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
  return overlapped->Internal == 0 || fail(static_cast<std::uint32_t>(overlapped->Internal));
}

bool FtdiPlatform::EscapeCommFunction(Handle h, std::uint32_t function) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (function < kSetRts || function > kClrDtr) return fail(kErrorInvalidParameter);
  const std::uint8_t pin = function <= kClrRts ? ftdi::kRts : ftdi::kDtr;
  const bool asserted = function == kSetRts || function == kSetDtr;
  appendState(static_cast<std::uint8_t>(asserted ? pins_ & ~pin : pins_ | pin));
  return true;
}

bool FtdiPlatform::GetCommModemStatus(Handle h, std::uint32_t* status) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (status) *status = inputs_;
  return true;
}

bool FtdiPlatform::ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  // Nothing is received in bit-bang mode, so there is nothing to go wrong.
  if (errors) *errors = 0;
  if (stat) *stat = ComStat{};
  return true;
}

bool FtdiPlatform::PurgeComm(Handle h, std::uint32_t) {
  // Pin states are line switches, not queued data: a purge keeps them.
  std::lock_guard lock(mutex_);
  return check(h) == 0 || fail(check(h));
}

// Returns once the chip has taken the bytes, as a UART driver returns once
// they are in its buffer.
bool FtdiPlatform::WriteFile(Handle h, const void* data, std::uint32_t count,
                             std::uint32_t* written, Overlapped* overlapped) {
  std::unique_lock lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  for (std::uint32_t i = 0; i < count; ++i) appendByte(static_cast<const std::uint8_t*>(data)[i]);
  byteWritten_ = byteWritten_ || count > 0;
  const std::uint64_t end = queued_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return gone_ || sent_ >= end; });
  if (written) *written = gone_ ? 0 : count;
  if (gone_) return fail(kErrorBadCommand);
  if (overlapped) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = count;
    events_.SetEvent(overlapped->hEvent);
  }
  wait_.add(kEvTxEmpty);
  return true;
}

std::uint32_t FtdiPlatform::WaitForMultipleObjects(std::uint32_t count, const Handle* handles,
                                                   bool waitAll, std::uint32_t milliseconds) {
  const std::uint32_t result =
      events_.WaitForMultipleObjects(count, handles, waitAll, milliseconds);
  if (result == kWaitFailed) failed();
  return result;
}

bool FtdiPlatform::listPorts(std::vector<std::string>& names) {
  names.clear();
  for (const auto& adapter : findFtdiAdapters(sysDir_)) names.push_back(ftdiPortName(adapter.tty));
  return true;
}

Platform& ftdiPlatform() {
  static FtdiPlatform platform(ftdi::makeLibftdiChip());
  return platform;
}

}  // namespace sys
