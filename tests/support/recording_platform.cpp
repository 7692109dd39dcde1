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

std::string format(const char* pattern, std::int64_t a, std::int64_t b = 0, std::int64_t c = 0,
                   std::int64_t d = 0, std::int64_t e = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, pattern, static_cast<unsigned>(a), static_cast<unsigned>(b),
                static_cast<unsigned>(c), static_cast<unsigned>(d), static_cast<unsigned>(e));
  return buf;
}

std::int64_t arg(const Call& call, std::size_t i) {
  return i < call.args.size() ? call.args[i] : 0;
}

const char* opName(Op op) {
  switch (op) {
    case Op::CreateFile: return "CreateFileA";
    case Op::CloseHandle: return "CloseHandle";
    case Op::SetupComm: return "SetupComm";
    case Op::SetCommState: return "SetCommState";
    case Op::SetCommTimeouts: return "SetCommTimeouts";
    case Op::SetCommMask: return "SetCommMask";
    case Op::WaitCommEvent: return "WaitCommEvent";
    case Op::GetOverlappedResult: return "GetOverlappedResult";
    case Op::EscapeCommFunction: return "EscapeCommFunction";
    case Op::GetCommModemStatus: return "GetCommModemStatus";
    case Op::ClearCommError: return "ClearCommError";
    case Op::PurgeComm: return "PurgeComm";
    case Op::WriteFile: return "WriteFile";
    case Op::listPorts: return "listPorts";
  }
  return "?";
}

std::vector<std::uint8_t> bytesOf(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  return std::vector<std::uint8_t>(bytes, bytes + size);
}

}  // namespace

std::string describe(const Call& c) {
  const std::string name = opName(c.op);
  switch (c.op) {
    case Op::CreateFile:
      return name + " " + c.name +
             format(" access=0x%08x share=%u disposition=%u flags=0x%08x", arg(c, 0), arg(c, 1),
                    arg(c, 2), arg(c, 3));
    case Op::SetupComm: return name + format(" %u %u", arg(c, 0), arg(c, 1));
    case Op::SetCommState: {
      char buf[200];
      std::snprintf(buf, sizeof buf,
                    " DCBlength=%u BaudRate=%u Flags=0x%04x ByteSize=%u Parity=%u StopBits=%u "
                    "XonChar=0x%02x XoffChar=0x%02x bytes=",
                    static_cast<unsigned>(arg(c, 0)), static_cast<unsigned>(arg(c, 1)),
                    static_cast<unsigned>(arg(c, 2)), static_cast<unsigned>(arg(c, 3)),
                    static_cast<unsigned>(arg(c, 4)), static_cast<unsigned>(arg(c, 5)),
                    static_cast<unsigned>(arg(c, 6)), static_cast<unsigned>(arg(c, 7)));
      return name + buf + hex(c.bytes.data(), c.bytes.size());
    }
    case Op::SetCommTimeouts:
      return name + format(" 0x%08x 0x%08x 0x%08x 0x%08x 0x%08x", arg(c, 0), arg(c, 1), arg(c, 2),
                           arg(c, 3), arg(c, 4));
    case Op::SetCommMask: return name + format(" 0x%04x", arg(c, 0));
    case Op::EscapeCommFunction: return name + format(" %u", arg(c, 0));
    case Op::PurgeComm: return name + format(" 0x%02x", arg(c, 0));
    case Op::WriteFile: return name + " " + hex(c.bytes.data(), c.bytes.size());
    default: return name;
  }
}

void PrintTo(const Call& call, std::ostream* out) {
  *out << describe(call);
}

void RecordingPlatform::setLogging(bool on) {
  std::lock_guard lock(mutex_);
  logging_ = on;
}

std::vector<Call> RecordingPlatform::calls(std::initializer_list<Op> ops) const {
  std::lock_guard lock(mutex_);
  std::vector<Call> out;
  for (const Call& call : calls_) {
    if (ops.size() == 0 || std::find(ops.begin(), ops.end(), call.op) != ops.end()) {
      out.push_back(call);
    }
  }
  return out;
}

std::vector<std::string> RecordingPlatform::callTexts(std::initializer_list<Op> ops) const {
  std::vector<std::string> out;
  for (const Call& call : calls(ops)) out.push_back(describe(call));
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

std::uint32_t RecordingPlatform::enter(Call call) {
  std::lock_guard lock(mutex_);
  const Op op = call.op;
  if (logging_) calls_.push_back(std::move(call));
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
          enter({Op::CreateFile, {access, share, disposition, flags}, {}, name})) {
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
  const std::uint32_t error = device ? enter({Op::CloseHandle}) : 0;
  // The handle is gone whatever the call says, as with Win32.
  const bool ok = passed(inner_.CloseHandle(h));
  return error != 0 ? failed(error) : ok;
}

bool RecordingPlatform::SetupComm(sys::Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  if (std::uint32_t error = enter({Op::SetupComm, {inQueue, outQueue}})) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.SetupComm(h, inQueue, outQueue));
}

bool RecordingPlatform::SetCommState(sys::Handle h, const sys::DCB& dcb) {
  if (std::uint32_t error =
          enter({Op::SetCommState,
                 {dcb.DCBlength, dcb.BaudRate, dcb.Flags, dcb.ByteSize, dcb.Parity, dcb.StopBits,
                  static_cast<std::uint8_t>(dcb.XonChar), static_cast<std::uint8_t>(dcb.XoffChar)},
                 bytesOf(&dcb, sizeof dcb)}))
    return failed(error);
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.SetCommState(h, dcb));
}

bool RecordingPlatform::SetCommTimeouts(sys::Handle h, const sys::CommTimeouts& t) {
  if (std::uint32_t error =
          enter({Op::SetCommTimeouts,
                 {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}})) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.SetCommTimeouts(h, t));
}

bool RecordingPlatform::SetCommMask(sys::Handle h, std::uint32_t mask) {
  if (std::uint32_t error = enter({Op::SetCommMask, {mask}})) {
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
  if (std::uint32_t error = enter({Op::WaitCommEvent})) return failed(error);
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.WaitCommEvent(h, mask, overlapped));
}

bool RecordingPlatform::GetOverlappedResult(sys::Handle h, sys::Overlapped* overlapped,
                                            std::uint32_t* transferred, bool wait) {
  if (std::uint32_t error = enter({Op::GetOverlappedResult})) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.GetOverlappedResult(h, overlapped, transferred, wait));
}

bool RecordingPlatform::EscapeCommFunction(sys::Handle h, std::uint32_t function) {
  if (std::uint32_t error = enter({Op::EscapeCommFunction, {function}})) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h, true)) return failed(error);
  return passed(inner_.EscapeCommFunction(h, function));
}

bool RecordingPlatform::GetCommModemStatus(sys::Handle h, std::uint32_t* status) {
  if (std::uint32_t error = enter({Op::GetCommModemStatus})) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.GetCommModemStatus(h, status));
}

bool RecordingPlatform::ClearCommError(sys::Handle h, std::uint32_t* errors, sys::ComStat* stat) {
  if (std::uint32_t error = enter({Op::ClearCommError})) return failed(error);
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.ClearCommError(h, errors, stat));
}

bool RecordingPlatform::PurgeComm(sys::Handle h, std::uint32_t flags) {
  if (std::uint32_t error = enter({Op::PurgeComm, {flags}})) {
    return failed(error);
  }
  if (std::uint32_t error = pulled(h)) return failed(error);
  return passed(inner_.PurgeComm(h, flags));
}

bool RecordingPlatform::WriteFile(sys::Handle h, const void* data, std::uint32_t count,
                                  std::uint32_t* written, sys::Overlapped* overlapped) {
  if (std::uint32_t error = enter({Op::WriteFile, {}, bytesOf(data, count)})) {
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

bool RecordingPlatform::listPorts(std::vector<std::string>& names) {
  if (std::uint32_t error = enter({Op::listPorts})) return failed(error);
  {
    std::lock_guard lock(mutex_);
    if (ownPorts_) {
      names = ports_;
      return true;
    }
  }
  return passed(inner_.listPorts(names));
}

}  // namespace testing_support
