// A platform whose calls cost next to nothing: every handle is valid, every
// call succeeds and a write is complete when WriteFile returns. Benchmarks run
// the program on it so that what they time is the program's own work, not a
// device's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "comport/sys/platform.h"

namespace bench {

class NullPlatform : public sys::Platform {
 public:
  // Line operations and writes so far (GUI thread only).
  std::uint64_t escapes() const { return escapes_; }
  std::uint64_t writes() const { return writes_; }

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
  std::uint64_t escapes_ = 0;
  std::uint64_t writes_ = 0;
  std::atomic<sys::Handle> nextHandle_{0x100};

  // Only the port's event thread ever waits: for the stop event, or for a
  // status event that never comes.
  std::mutex mutex_;
  std::condition_variable signalled_;
  std::set<sys::Handle> set_;
};

}  // namespace bench
