// A platform that can hold the line operations (escapes and writes) of any
// thread at a gate: a test closes the gate, lets a frame start on the output
// thread and knows it is on its way, held at its first operation, until the
// gate opens. Every other call passes straight through.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "comport/sys/platform.h"

namespace testing_support {

class GatedPlatform : public sys::Platform {
 public:
  explicit GatedPlatform(sys::Platform& inner) : inner_(inner) {}

  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      closed_ = false;
    }
    changed_.notify_all();
  }
  // Waits until a line operation is held at the gate.
  bool waitHeld(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return held_ > 0; });
  }
  int held() {
    std::lock_guard lock(mutex_);
    return held_;
  }

  sys::Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                          std::uint32_t disposition, std::uint32_t flags) override {
    return inner_.CreateFileA(name, access, share, disposition, flags);
  }
  std::uint32_t GetLastError() override { return inner_.GetLastError(); }
  bool CloseHandle(sys::Handle h) override { return inner_.CloseHandle(h); }
  bool SetupComm(sys::Handle h, std::uint32_t in, std::uint32_t out) override {
    return inner_.SetupComm(h, in, out);
  }
  bool SetCommState(sys::Handle h, const sys::DCB& dcb) override {
    return inner_.SetCommState(h, dcb);
  }
  bool SetCommTimeouts(sys::Handle h, const sys::CommTimeouts& t) override {
    return inner_.SetCommTimeouts(h, t);
  }
  bool SetCommMask(sys::Handle h, std::uint32_t mask) override {
    return inner_.SetCommMask(h, mask);
  }
  bool WaitCommEvent(sys::Handle h, std::uint32_t* mask, sys::Overlapped* o) override {
    return inner_.WaitCommEvent(h, mask, o);
  }
  bool GetOverlappedResult(sys::Handle h, sys::Overlapped* o, std::uint32_t* n,
                           bool wait) override {
    return inner_.GetOverlappedResult(h, o, n, wait);
  }
  bool EscapeCommFunction(sys::Handle h, std::uint32_t function) override {
    pass();
    return inner_.EscapeCommFunction(h, function);
  }
  bool GetCommModemStatus(sys::Handle h, std::uint32_t* status) override {
    return inner_.GetCommModemStatus(h, status);
  }
  bool ClearCommError(sys::Handle h, std::uint32_t* errors, sys::ComStat* stat) override {
    return inner_.ClearCommError(h, errors, stat);
  }
  bool PurgeComm(sys::Handle h, std::uint32_t flags) override { return inner_.PurgeComm(h, flags); }
  bool WriteFile(sys::Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                 sys::Overlapped* o) override {
    pass();
    return inner_.WriteFile(h, data, count, written, o);
  }
  sys::Handle CreateEventA(bool manualReset, bool initialState) override {
    return inner_.CreateEventA(manualReset, initialState);
  }
  bool SetEvent(sys::Handle h) override { return inner_.SetEvent(h); }
  bool ResetEvent(sys::Handle h) override { return inner_.ResetEvent(h); }
  std::uint32_t WaitForSingleObject(sys::Handle h, std::uint32_t ms) override {
    return inner_.WaitForSingleObject(h, ms);
  }
  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const sys::Handle* handles,
                                       bool waitAll, std::uint32_t ms) override {
    return inner_.WaitForMultipleObjects(count, handles, waitAll, ms);
  }
  void Sleep(std::uint32_t ms) override { inner_.Sleep(ms); }
  bool listPorts(std::vector<std::string>& names) override { return inner_.listPorts(names); }

 private:
  void pass() {
    std::unique_lock lock(mutex_);
    if (!closed_) return;
    ++held_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !closed_; });
    --held_;
  }

  sys::Platform& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  int held_ = 0;
};

}  // namespace testing_support
