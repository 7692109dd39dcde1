// A port behind a USB serial adapter, as far as time goes: every operation
// that reaches the device (a modem-line switch, a status read, a purge, a
// write, a setting) is a transfer on the adapter's one control pipe and takes
// `perOperation`; transfers asked for by several threads take their turns in
// the order they were asked for, as the host controller queues them.
// Everything else (handles, events, waits, the port list) passes straight
// through to the platform underneath. With 0 per operation it only notes when
// each write (each latch byte) was done.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "comport/sys/platform.h"

namespace bench {

class SlowPlatform : public sys::Platform {
 public:
  using Clock = std::chrono::steady_clock;

  SlowPlatform(sys::Platform& inner, std::chrono::microseconds perOperation)
      : inner_(inner), perOperation_(perOperation) {}

  // When each write so far was done.
  std::vector<Clock::time_point> writeTimes();

  sys::Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                          std::uint32_t disposition, std::uint32_t flags) override;
  std::uint32_t GetLastError() override;
  bool CloseHandle(sys::Handle h) override;

  bool SetupComm(sys::Handle h, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommState(sys::Handle h, const sys::DCB& dcb) override;
  bool SetCommTimeouts(sys::Handle h, const sys::CommTimeouts& timeouts) override;
  bool SetCommMask(sys::Handle h, std::uint32_t mask) override;
  bool WaitCommEvent(sys::Handle h, std::uint32_t* mask, sys::Overlapped* overlapped) override;
  bool GetOverlappedResult(sys::Handle h, sys::Overlapped* overlapped, std::uint32_t* transferred,
                           bool wait) override;
  bool EscapeCommFunction(sys::Handle h, std::uint32_t function) override;
  bool GetCommModemStatus(sys::Handle h, std::uint32_t* status) override;
  bool ClearCommError(sys::Handle h, std::uint32_t* errors, sys::ComStat* stat) override;
  bool PurgeComm(sys::Handle h, std::uint32_t flags) override;
  bool WriteFile(sys::Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                 sys::Overlapped* overlapped) override;

  sys::Handle CreateEventA(bool manualReset, bool initialState) override;
  bool SetEvent(sys::Handle h) override;
  bool ResetEvent(sys::Handle h) override;
  std::uint32_t WaitForSingleObject(sys::Handle h, std::uint32_t milliseconds) override;
  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const sys::Handle* handles,
                                       bool waitAll, std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override;

  bool listPorts(std::vector<std::string>& names) override;

 private:
  // Runs one device operation as a transfer: the pipe is held for the whole
  // time, and the platform's answer (and its last error) comes at the end.
  template <typename Call>
  auto transfer(Call&& call);

  sys::Platform& inner_;
  const std::chrono::microseconds perOperation_;
  std::mutex mutex_;
  std::condition_variable turn_;
  std::uint64_t nextTicket_ = 0;
  std::uint64_t serving_ = 0;
  std::vector<Clock::time_point> writeTimes_;
};

}  // namespace bench
