#include "support/recording_platform.h"

#include <algorithm>
#include <cstdio>

namespace testing_support {

namespace {

thread_local std::uint32_t lastError = 0;

std::string hex(const void* data, std::size_t size) {
  std::string out;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    out += buf;
  }
  return out;
}

std::string format(const char* pattern, std::uint32_t a, std::uint32_t b = 0, std::uint32_t c = 0,
                   std::uint32_t d = 0, std::uint32_t e = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, pattern, a, b, c, d, e);
  return buf;
}

std::string describeDcb(const sys::DCB& d) {
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "SetCommState DCBlength=%u BaudRate=%u Flags=0x%04x ByteSize=%u Parity=%u "
                "StopBits=%u XonChar=0x%02x XoffChar=0x%02x bytes=",
                d.DCBlength, d.BaudRate, d.Flags, d.ByteSize, d.Parity, d.StopBits,
                static_cast<unsigned>(static_cast<std::uint8_t>(d.XonChar)),
                static_cast<unsigned>(static_cast<std::uint8_t>(d.XoffChar)));
  return buf + hex(&d, sizeof d);
}

}  // namespace

void RecordingPlatform::setLogging(bool on) {
  std::lock_guard lock(mutex_);
  logging_ = on;
}

std::vector<Call> RecordingPlatform::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> RecordingPlatform::callTexts(std::initializer_list<Op> ops) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const Call& call : calls_) {
    if (ops.size() == 0 || std::find(ops.begin(), ops.end(), call.op) != ops.end()) {
      out.push_back(call.text);
    }
  }
  return out;
}

void RecordingPlatform::clearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void RecordingPlatform::failCall(Op op, int nth, std::uint32_t error) {
  std::lock_guard lock(mutex_);
  pendingFaults_[op].emplace_back(nth, error);
}

void RecordingPlatform::failAlways(Op op, std::uint32_t error) {
  std::lock_guard lock(mutex_);
  if (error == 0) {
    persistentFaults_.erase(op);
  } else {
    persistentFaults_[op] = error;
  }
}

void RecordingPlatform::unplug() {
  std::map<sys::Handle, std::uint32_t> open;
  {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
    unplugCountdown_ = -1;
    open = devices_;
  }
  // A new mask ends the wait under way; it then reports the device's failure.
  for (const auto& [h, mask] : open) inner_.SetCommMask(h, mask);
}

void RecordingPlatform::unplugAfter(int count) {
  std::lock_guard lock(mutex_);
  unplugCountdown_ = count;
}

void RecordingPlatform::replug() {
  std::lock_guard lock(mutex_);
  unplugged_ = false;
  unplugCountdown_ = -1;
}

std::uint32_t RecordingPlatform::pulled(sys::Handle h, bool lineOperation) {
  {
    std::lock_guard lock(mutex_);
    if (devices_.count(h) == 0) return 0;
    if (lineOperation && unplugCountdown_ >= 0 && unplugCountdown_-- == 0) {
      unplugCountdown_ = -1;
    } else {
      return unplugged_ ? sys::kErrorBadCommand : 0;
    }
  }
  unplug();
  return sys::kErrorBadCommand;
}

void RecordingPlatform::setPorts(std::vector<std::string> names) {
  std::lock_guard lock(mutex_);
  ownPorts_ = true;
  ports_ = std::move(names);
}

int RecordingPlatform::openDevices() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(devices_.size());
}

int RecordingPlatform::openEvents() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(events_.size());
}

std::uint32_t RecordingPlatform::enter(Op op, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (logging_) calls_.push_back({op, text});
  std::uint32_t error = 0;
  if (auto it = pendingFaults_.find(op); it != pendingFaults_.end()) {
    auto& faults = it->second;
    for (auto& fault : faults) {
      if (--fault.first == 0) error = fault.second;
    }
    faults.erase(std::remove_if(faults.begin(), faults.end(),
                                [](const auto& fault) { return fault.first <= 0; }),
                 faults.end());
  }
  if (error == 0) {
    if (auto it = persistentFaults_.find(op); it != persistentFaults_.end()) error = it->second;
  }
  return error;
}

bool RecordingPlatform::failed(std::uint32_t error) {
  lastError = error;
  return false;
}

bool RecordingPlatform::passed(bool ok) {
  if (!ok) lastError = inner_.GetLastError();
  return ok;
}

sys::Handle RecordingPlatform::CreateFileA(const std::string& name, std::uint32_t access,
                                           std::uint32_t share, std::uint32_t disposition,
                                           std::uint32_t flags) {
  if (std::uint32_t error =
          enter(Op::CreateFile, "CreateFileA " + name +
                                    format(" access=0x%08x share=%u disposition=%u flags=0x%08x",
                                           access, share, disposition, flags))) {
    failed(error);
    return sys::kInvalidHandle;
  }
  {
    std::lock_guard lock(mutex_);
    if (unplugged_) {
      failed(sys::kErrorFileNotFound);
      return sys::kInvalidHandle;
    }
  }
  const sys::Handle h = inner_.CreateFileA(name, access, share, disposition, flags);
  if (h == sys::kInvalidHandle) {
    passed(false);
  } else {
    std::lock_guard lock(mutex_);
    devices_[h] = 0;
  }
  return h;
}

std::uint32_t RecordingPlatform::GetLastError() {
  return lastError;
}

bool RecordingPlatform::CloseHandle(sys::Handle h) {
  bool device = false;
  {
    std::lock_guard lock(mutex_);
    device = devices_.erase(h) != 0;
    events_.erase(h);
  }
  const std::uint32_t error = device ? enter(Op::CloseHandle, "CloseHandle") : 0;
  // The handle is gone whatever the call says, as with Win32.
  const bool ok = passed(inner_.CloseHandle(h));
  return error != 0 ? failed(error) : ok;
}

bool RecordingPlatform::SetupComm(sys::Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  if (std::uint32_t error = enter(Op::SetupComm, format("SetupComm %u %u", inQueue, outQueue))) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.SetupComm(h, inQueue, outQueue));
}

bool RecordingPlatform::SetCommState(sys::Handle h, const sys::DCB& dcb) {
  if (std::uint32_t error = enter(Op::SetCommState, describeDcb(dcb))) return failed(error);
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.SetCommState(h, dcb));
}

bool RecordingPlatform::SetCommTimeouts(sys::Handle h, const sys::CommTimeouts& t) {
  if (std::uint32_t error =
          enter(Op::SetCommTimeouts,
                format("SetCommTimeouts 0x%08x 0x%08x 0x%08x 0x%08x 0x%08x", t.ReadIntervalTimeout,
                       t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                       t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant))) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.SetCommTimeouts(h, t));
}

bool RecordingPlatform::SetCommMask(sys::Handle h, std::uint32_t mask) {
  if (std::uint32_t error = enter(Op::SetCommMask, format("SetCommMask 0x%04x", mask))) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  if (!inner_.SetCommMask(h, mask)) return passed(false);
  std::lock_guard lock(mutex_);
  if (devices_.count(h) != 0) devices_[h] = mask;
  return true;
}

bool RecordingPlatform::WaitCommEvent(sys::Handle h, std::uint32_t* mask,
                                      sys::Overlapped* overlapped) {
  if (std::uint32_t error = enter(Op::WaitCommEvent, "WaitCommEvent")) return failed(error);
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.WaitCommEvent(h, mask, overlapped));
}

bool RecordingPlatform::GetOverlappedResult(sys::Handle h, sys::Overlapped* overlapped,
                                            std::uint32_t* transferred, bool wait) {
  if (std::uint32_t error = enter(Op::GetOverlappedResult, "GetOverlappedResult")) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.GetOverlappedResult(h, overlapped, transferred, wait));
}

bool RecordingPlatform::EscapeCommFunction(sys::Handle h, std::uint32_t function) {
  if (std::uint32_t error =
          enter(Op::EscapeCommFunction, format("EscapeCommFunction %u", function))) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h, true)) return failed(error);
  return passed(inner_.EscapeCommFunction(h, function));
}

bool RecordingPlatform::GetCommModemStatus(sys::Handle h, std::uint32_t* status) {
  if (std::uint32_t error = enter(Op::GetCommModemStatus, "GetCommModemStatus")) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.GetCommModemStatus(h, status));
}

bool RecordingPlatform::ClearCommError(sys::Handle h, std::uint32_t* errors, sys::ComStat* stat) {
  if (std::uint32_t error = enter(Op::ClearCommError, "ClearCommError")) return failed(error);
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.ClearCommError(h, errors, stat));
}

bool RecordingPlatform::PurgeComm(sys::Handle h, std::uint32_t flags) {
  if (std::uint32_t error = enter(Op::PurgeComm, format("PurgeComm 0x%02x", flags))) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.PurgeComm(h, flags));
}

bool RecordingPlatform::WriteFile(sys::Handle h, const void* data, std::uint32_t count,
                                  std::uint32_t* written, sys::Overlapped* overlapped) {
  if (std::uint32_t error = enter(Op::WriteFile, "WriteFile " + hex(data, count))) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h, count > 0)) return failed(error);
  return passed(inner_.WriteFile(h, data, count, written, overlapped));
}

sys::Handle RecordingPlatform::CreateEventA(bool manualReset, bool initialState) {
  const sys::Handle h = inner_.CreateEventA(manualReset, initialState);
  if (h == 0 || h == sys::kInvalidHandle) {
    passed(false);
  } else {
    std::lock_guard lock(mutex_);
    events_.insert(h);
  }
  return h;
}

bool RecordingPlatform::SetEvent(sys::Handle h) {
  return passed(inner_.SetEvent(h));
}

bool RecordingPlatform::ResetEvent(sys::Handle h) {
  return passed(inner_.ResetEvent(h));
}

std::uint32_t RecordingPlatform::WaitForSingleObject(sys::Handle h, std::uint32_t milliseconds) {
  const std::uint32_t result = inner_.WaitForSingleObject(h, milliseconds);
  if (result == sys::kWaitFailed) passed(false);
  return result;
}

std::uint32_t RecordingPlatform::WaitForMultipleObjects(std::uint32_t count,
                                                        const sys::Handle* handles, bool waitAll,
                                                        std::uint32_t milliseconds) {
  const std::uint32_t result = inner_.WaitForMultipleObjects(count, handles, waitAll, milliseconds);
  if (result == sys::kWaitFailed) passed(false);
  return result;
}

void RecordingPlatform::Sleep(std::uint32_t milliseconds) {
  inner_.Sleep(milliseconds);
}

bool RecordingPlatform::ListPorts(std::vector<std::string>& names) {
  if (std::uint32_t error = enter(Op::ListPorts, "ListPorts")) return failed(error);
  {
    std::lock_guard lock(mutex_);
    if (ownPorts_) {
      names = ports_;
      return true;
    }
  }
  return passed(inner_.ListPorts(names));
}

}  // namespace testing_support
