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
// Between frames the pins are read this often: an input pulse of 2 ms or
// more is seen at least once.
constexpr auto kPollPeriod = std::chrono::milliseconds(1);
// The chip's highest bit-bang rate we ask for; slower rates give a byte on
// TXD fewer samples per bit.
constexpr std::uint32_t kMaxByteRate = 1'000'000;

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
  pins_ = pins;
  pending_.insert(pending_.end(), kSamplesPerState, pins);
}

void FtdiPlatform::appendByte(std::uint8_t value) {
  const auto bit = [this](bool high, std::uint32_t samples) {
    pins_ = static_cast<std::uint8_t>(high ? pins_ | ftdi::kTxd : pins_ & ~ftdi::kTxd);
    pending_.insert(pending_.end(), samples, pins_);
  };
  bit(false, samplesPerBit_);  // start
  for (std::uint8_t i = 0; i < dcb_.ByteSize; ++i) bit(((value >> i) & 1) != 0, samplesPerBit_);
  if (dcb_.Parity != 0) bit(parityBit(value, dcb_.ByteSize, dcb_.Parity), samplesPerBit_);
  // StopBits 0 one, 1 one and a half, 2 two.
  bit(true, samplesPerBit_ * (2 + dcb_.StopBits) / 2);
}

bool FtdiPlatform::sendPending() {
  std::vector<std::uint8_t> bytes;
  {
    std::lock_guard lock(mutex_);
    bytes.swap(pending_);
    pendingSeen_ = 0;
  }
  if (bytes.empty() || chip_->write(bytes.data(), bytes.size())) return true;
  std::lock_guard lock(mutex_);
  lost();
  return false;
}

// ---------------------------------------------------------------- inputs

void FtdiPlatform::noteSample(std::uint8_t pins) {
  // Active low, as the UART reads them.
  const std::uint32_t now =
      ((pins & ftdi::kCts) ? 0 : kMsCtsOn) | ((pins & ftdi::kDsr) ? 0 : kMsDsrOn) |
      ((pins & ftdi::kRi) ? 0 : kMsRingOn) | ((pins & ftdi::kDcd) ? 0 : kMsRlsdOn);
  const std::uint32_t changed = now ^ inputs_;
  inputs_ = now;
  // EV_RING reports the ring going active, the others every change.
  addEvents(((changed & kMsCtsOn) ? kEvCts : 0) | ((changed & kMsDsrOn) ? kEvDsr : 0) |
            ((changed & kMsRlsdOn) ? kEvRlsd : 0) | ((changed & now & kMsRingOn) ? kEvRing : 0));
}

void FtdiPlatform::endWait(std::uint32_t status, std::uint32_t events) {
  if (!waitOverlapped_) return;
  *waitMask_ = events;
  waitOverlapped_->InternalHigh = 0;
  waitOverlapped_->Internal = status;
  events_.SetEvent(waitOverlapped_->hEvent);
  waitMask_ = nullptr;
  waitOverlapped_ = nullptr;
}

void FtdiPlatform::addEvents(std::uint32_t events) {
  history_ |= events & mask_;
  if (history_ != 0 && waitOverlapped_) endWait(0, std::exchange(history_, 0u));
}

// The adapter is gone: as a tty whose device went away, every call fails and
// the status wait ends with the error.
void FtdiPlatform::lost() {
  gone_ = true;
  pending_.clear();
  endWait(kErrorBadCommand, 0);
  wake_.notify_all();
}

void FtdiPlatform::poll() {
  auto next = Clock::now();
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, next, [this] { return stopping_ || gone_; });
      if (stopping_ || gone_) return;
    }
    next = std::max(next + kPollPeriod, Clock::now());
    bool idle = false;
    {
      // Pin states that no byte has followed for a period (the lines
      // lowered after the open, say) go out on their own.
      std::lock_guard lock(mutex_);
      idle = !pending_.empty() && pending_.size() == pendingSeen_;
      pendingSeen_ = pending_.size();
    }
    // One chip call at a time: with the pins read beside a write, the
    // program died when the adapter was pulled out.
    std::lock_guard chip(chipMutex_);
    if (idle) {
      sendPending();
      continue;
    }
    std::uint8_t pins = 0;
    const bool ok = chip_->readPins(pins);
    std::lock_guard lock(mutex_);
    ok ? noteSample(pins) : lost();
  }
}

void FtdiPlatform::stopPolling() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (poller_.joinable()) poller_.join();
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
  std::uint8_t pins = 0;
  if (!chip_->setBitMode(ftdi::kOutputs) || !chip_->setByteRate(9600 * kSamplesPerBit) ||
      !chip_->write(&idle, 1) || !chip_->readPins(pins)) {
    chip_->close();
    return fail(kErrorGenFailure), kInvalidHandle;
  }
  std::lock_guard lock(mutex_);
  handle_ = kFirstHandle + 4 * static_cast<Handle>(++opens_);
  gone_ = false;
  stopping_ = false;
  dcb_ = DCB{};
  dcb_.BaudRate = 9600;
  dcb_.ByteSize = 8;
  samplesPerBit_ = kSamplesPerBit;
  pins_ = idle;
  pending_.clear();
  pendingSeen_ = 0;
  mask_ = 0;
  history_ = 0;
  inputs_ = 0;
  noteSample(pins);
  poller_ = std::thread([this] { poll(); });
  return handle_;
}

bool FtdiPlatform::CloseHandle(Handle h) {
  {
    std::lock_guard lock(mutex_);
    if (h != handle_ || h == kInvalidHandle) {
      return events_.CloseHandle(h) || failed();
    }
  }
  stopPolling();
  std::lock_guard chip(chipMutex_);
  bool gone = false;
  {
    std::lock_guard lock(mutex_);
    gone = gone_;
  }
  // The lines lowered just before the close still reach the board.
  if (!gone) sendPending();
  chip_->close();
  std::lock_guard lock(mutex_);
  handle_ = kInvalidHandle;
  mask_ = 0;
  pending_.clear();
  endWait(kErrorOperationAborted, 0);
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
  mask_ = mask;
  history_ = 0;
  endWait(0, 0);
  return true;
}

bool FtdiPlatform::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) {
  std::lock_guard lock(mutex_);
  if (std::uint32_t error = check(h)) return fail(error);
  if (!mask || !overlapped || waitOverlapped_) return fail(kErrorInvalidParameter);
  events_.ResetEvent(overlapped->hEvent);
  overlapped->Internal = kStatusPending;
  waitMask_ = mask;
  waitOverlapped_ = overlapped;
  const bool now = history_ != 0;
  addEvents(0);
  return now || fail(kErrorIoPending);
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

bool FtdiPlatform::WriteFile(Handle h, const void* data, std::uint32_t count,
                             std::uint32_t* written, Overlapped* overlapped) {
  std::lock_guard chip(chipMutex_);
  {
    std::lock_guard lock(mutex_);
    if (std::uint32_t error = check(h)) return fail(error);
    for (std::uint32_t i = 0; i < count; ++i) appendByte(static_cast<const std::uint8_t*>(data)[i]);
  }
  const bool ok = count == 0 || sendPending();
  if (written) *written = ok ? count : 0;
  if (!ok) return fail(kErrorBadCommand);
  if (overlapped) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = count;
    events_.SetEvent(overlapped->hEvent);
  }
  std::lock_guard lock(mutex_);
  addEvents(kEvTxEmpty);
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
