#include "null_platform.h"

#include <chrono>
#include <thread>

namespace bench {

namespace {
thread_local std::uint32_t lastError = 0;
constexpr sys::Handle kPort = 0x10;
}  // namespace

sys::Handle NullPlatform::CreateFileA(const std::string&, std::uint32_t, std::uint32_t,
                                      std::uint32_t, std::uint32_t) {
  return kPort;
}

std::uint32_t NullPlatform::GetLastError() {
  return lastError;
}

bool NullPlatform::CloseHandle(sys::Handle h) {
  if (h == kPort) return true;
  std::lock_guard lock(mutex_);
  set_.erase(h);
  return true;
}

bool NullPlatform::SetupComm(sys::Handle, std::uint32_t, std::uint32_t) {
  return true;
}

bool NullPlatform::SetCommState(sys::Handle, const sys::DCB&) {
  return true;
}

bool NullPlatform::SetCommTimeouts(sys::Handle, const sys::CommTimeouts&) {
  return true;
}

bool NullPlatform::SetCommMask(sys::Handle, std::uint32_t) {
  return true;
}

bool NullPlatform::WaitCommEvent(sys::Handle, std::uint32_t* mask, sys::Overlapped* overlapped) {
  // Pending until the port closes: no line ever changes.
  *mask = 0;
  overlapped->Internal = sys::kStatusPending;
  lastError = sys::kErrorIoPending;
  return false;
}

bool NullPlatform::GetOverlappedResult(sys::Handle, sys::Overlapped* overlapped,
                                       std::uint32_t* transferred, bool) {
  if (overlapped->Internal == sys::kStatusPending) overlapped->Internal = 0;
  if (transferred) *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
  return true;
}

bool NullPlatform::EscapeCommFunction(sys::Handle, std::uint32_t) {
  ++escapes_;
  return true;
}

bool NullPlatform::GetCommModemStatus(sys::Handle, std::uint32_t* status) {
  *status = 0;
  return true;
}

bool NullPlatform::ClearCommError(sys::Handle, std::uint32_t* errors, sys::ComStat* stat) {
  if (errors) *errors = 0;
  if (stat) *stat = sys::ComStat{};
  return true;
}

bool NullPlatform::PurgeComm(sys::Handle, std::uint32_t) {
  return true;
}

bool NullPlatform::WriteFile(sys::Handle, const void*, std::uint32_t count, std::uint32_t* written,
                             sys::Overlapped* overlapped) {
  ++writes_;
  if (overlapped) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = count;
  }
  if (written) *written = count;
  return true;
}

sys::Handle NullPlatform::CreateEventA(bool, bool) {
  return nextHandle_.fetch_add(4);
}

bool NullPlatform::SetEvent(sys::Handle h) {
  {
    std::lock_guard lock(mutex_);
    set_.insert(h);
  }
  signalled_.notify_all();
  return true;
}

bool NullPlatform::ResetEvent(sys::Handle h) {
  std::lock_guard lock(mutex_);
  set_.erase(h);
  return true;
}

std::uint32_t NullPlatform::WaitForSingleObject(sys::Handle, std::uint32_t) {
  // Writes complete at once, so whatever is waited for alone has happened.
  return sys::kWaitObject0;
}

std::uint32_t NullPlatform::WaitForMultipleObjects(std::uint32_t count, const sys::Handle* handles,
                                                   bool, std::uint32_t milliseconds) {
  // The event thread: the stop event or the status wait, which never ends.
  std::unique_lock lock(mutex_);
  auto any = [&]() -> int {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (set_.count(handles[i])) return static_cast<int>(i);
    }
    return -1;
  };
  if (milliseconds == sys::kInfinite) {
    signalled_.wait(lock, [&] { return any() >= 0; });
  } else if (!signalled_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [&] { return any() >= 0; })) {
    return sys::kWaitTimeout;
  }
  return sys::kWaitObject0 + static_cast<std::uint32_t>(any());
}

void NullPlatform::Sleep(std::uint32_t milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

bool NullPlatform::listPorts(std::vector<std::string>& names) {
  names.clear();  // a machine without serial ports
  return true;
}

}  // namespace bench
