// A serial port of a Linux machine: a tty file descriptor driven through
// termios2 and the TIOCM* ioctls. Each Device call is the translation of the
// Win32 operation of the same name.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "comport/sys/device.h"
#include "comport/sys/platform.h"

namespace sys {

class PosixDevice : public Device {
 public:
  // Opens the tty at `path` for exclusive use. Returns nullptr with `error`
  // set: kErrorFileNotFound for a missing path or one that is not a tty,
  // kErrorAccessDenied when another program holds the port.
  static std::shared_ptr<PosixDevice> open(const std::string& path, std::uint32_t& error);

  explicit PosixDevice(int fd);  // takes ownership of an open tty descriptor
  ~PosixDevice() override;
  PosixDevice(const PosixDevice&) = delete;
  PosixDevice& operator=(const PosixDevice&) = delete;

  std::uint32_t setupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
  std::uint32_t setCommState(const DCB& dcb) override;
  std::uint32_t setCommTimeouts(const CommTimeouts& timeouts) override;
  std::uint32_t escape(std::uint32_t function) override;
  std::uint32_t modemStatus(std::uint32_t& status) override;
  std::uint32_t clearError(std::uint32_t& errors, ComStat& stat) override;
  std::uint32_t purge(std::uint32_t flags) override;
  std::uint32_t write(const std::uint8_t* data, std::uint32_t count,
                      std::uint32_t& written) override;
  std::uint32_t setEventMask(std::uint32_t mask) override;
  std::uint32_t waitEvent(WaitCompletion done) override;
  void close() override;

  // The watcher thread is running (it ends with close() or a lost device).
  bool watching() const { return watching_; }

  // The c_cflag bits of a valid DCB's frame: data bits, parity, stop bits.
  static std::uint32_t frameBits(const DCB& dcb);

 private:
  // Line error counters of TIOCGICOUNT (all zero where the driver has none).
  struct Counts {
    int rx = 0, frame = 0, parity = 0, overrun = 0, brk = 0, bufOverrun = 0;
  };
  struct Snapshot {
    int modem = 0;  // TIOCM_* bits, read only when the mask watches a line
    int inQueue = 0;
    Counts counts;
  };

  std::uint32_t check() const;
  std::uint32_t fail(int err);
  std::uint32_t setLine(int bit, bool on);
  std::uint32_t readCounts(Counts& counts);
  static std::uint32_t errorFlags(const Counts& was, const Counts& now);  // CE_* of the changes
  // Each called with mutex_ held.
  std::uint32_t sampleLocked(Snapshot& now);
  std::uint32_t pollLocked();
  void watch();
  void raise(std::uint32_t events);

  int fd_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> gone_{false};
  std::atomic<bool> watching_{false};
  // Shared by every call that uses fd_; close() takes it alone to release the fd.
  std::shared_mutex fdLock_;

  // Event state.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread watcher_;
  std::uint32_t mask_ = 0;
  std::uint32_t history_ = 0;
  WaitCompletion pending_;
  Snapshot last_;
  std::uint32_t inQueueSize_ = 0;
  CommTimeouts timeouts_{};
  Counts errorBase_;  // counters at the last clearError
};

}  // namespace sys
