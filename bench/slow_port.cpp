#include "slow_port.h"

#include <thread>

#include <sys/prctl.h>

namespace bench {

template <typename Call>
auto SlowPlatform::transfer(Call&& call) {
  std::unique_lock lock(mutex_);
  if (perOperation_.count() == 0) {
    lock.unlock();
    return call();
  }
  const std::uint64_t ticket = nextTicket_++;
  turn_.wait(lock, [&] { return serving_ == ticket; });
  lock.unlock();
  // The transfer's time, not the timer's slack on top (50 us a sleep by
  // default, which would make a frame 5 % slower than the adapter).
  static thread_local const bool tight = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)tight;
  std::this_thread::sleep_until(Clock::now() + perOperation_);
  auto result = call();
  lock.lock();
  ++serving_;
  turn_.notify_all();
  return result;
}

sys::Handle SlowPlatform::CreateFileA(const std::string& name, std::uint32_t access,
                                      std::uint32_t share, std::uint32_t disposition,
                                      std::uint32_t flags) {
  return inner_.CreateFileA(name, access, share, disposition, flags);
}

std::uint32_t SlowPlatform::GetLastError() {
  return inner_.GetLastError();
}

bool SlowPlatform::CloseHandle(sys::Handle h) {
  return inner_.CloseHandle(h);
}

bool SlowPlatform::SetupComm(sys::Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  return transfer([&] { return inner_.SetupComm(h, inQueue, outQueue); });
}

bool SlowPlatform::SetCommState(sys::Handle h, const sys::DCB& dcb) {
  return transfer([&] { return inner_.SetCommState(h, dcb); });
}

bool SlowPlatform::SetCommTimeouts(sys::Handle h, const sys::CommTimeouts& timeouts) {
  return transfer([&] { return inner_.SetCommTimeouts(h, timeouts); });
}

bool SlowPlatform::SetCommMask(sys::Handle h, std::uint32_t mask) {
  return inner_.SetCommMask(h, mask);
}

bool SlowPlatform::WaitCommEvent(sys::Handle h, std::uint32_t* mask, sys::Overlapped* overlapped) {
  return inner_.WaitCommEvent(h, mask, overlapped);
}

bool SlowPlatform::GetOverlappedResult(sys::Handle h, sys::Overlapped* overlapped,
                                       std::uint32_t* transferred, bool wait) {
  return inner_.GetOverlappedResult(h, overlapped, transferred, wait);
}

bool SlowPlatform::EscapeCommFunction(sys::Handle h, std::uint32_t function) {
  return transfer([&] { return inner_.EscapeCommFunction(h, function); });
}

bool SlowPlatform::GetCommModemStatus(sys::Handle h, std::uint32_t* status) {
  return transfer([&] { return inner_.GetCommModemStatus(h, status); });
}

bool SlowPlatform::ClearCommError(sys::Handle h, std::uint32_t* errors, sys::ComStat* stat) {
  return transfer([&] { return inner_.ClearCommError(h, errors, stat); });
}

bool SlowPlatform::PurgeComm(sys::Handle h, std::uint32_t flags) {
  return transfer([&] { return inner_.PurgeComm(h, flags); });
}

bool SlowPlatform::WriteFile(sys::Handle h, const void* data, std::uint32_t count,
                             std::uint32_t* written, sys::Overlapped* overlapped) {
  const bool done = transfer([&] { return inner_.WriteFile(h, data, count, written, overlapped); });
  std::lock_guard lock(mutex_);
  writeTimes_.push_back(Clock::now());
  return done;
}

std::vector<SlowPlatform::Clock::time_point> SlowPlatform::writeTimes() {
  std::lock_guard lock(mutex_);
  return writeTimes_;
}

sys::Handle SlowPlatform::CreateEventA(bool manualReset, bool initialState) {
  return inner_.CreateEventA(manualReset, initialState);
}

bool SlowPlatform::SetEvent(sys::Handle h) {
  return inner_.SetEvent(h);
}

bool SlowPlatform::ResetEvent(sys::Handle h) {
  return inner_.ResetEvent(h);
}

std::uint32_t SlowPlatform::WaitForSingleObject(sys::Handle h, std::uint32_t milliseconds) {
  return inner_.WaitForSingleObject(h, milliseconds);
}

std::uint32_t SlowPlatform::WaitForMultipleObjects(std::uint32_t count, const sys::Handle* handles,
                                                   bool waitAll, std::uint32_t milliseconds) {
  return inner_.WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

void SlowPlatform::Sleep(std::uint32_t milliseconds) {
  inner_.Sleep(milliseconds);
}

bool SlowPlatform::listPorts(std::vector<std::string>& names) {
  return inner_.listPorts(names);
}

}  // namespace bench
