// The Linux backend's parts, shared between its files and used by nothing
// else: linux_port_names.cpp (what a name opens, who holds it, the port
// list), linux_events.cpp (events and waits over eventfd and poll),
// linux_line_watcher.cpp (the modem lines' watcher) and linux_comm.cpp (the
// comm calls on a tty's descriptor).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/types.h>
#include <unistd.h>

#include "comport/sys/platform.h"
#include "comport/sys/status_wait.h"

namespace sys::tty {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The calling thread's error (GetLastError); fail sets it and gives false.
extern thread_local std::uint32_t lastError;
bool fail(std::uint32_t error);

// TIOCMIWAIT wakes only for changes after it began, and the watcher looks just
// before it waits again: a change in between would wait for the next one. So
// a wait on the port looks at the lines once more this long after each wake.
inline constexpr int kRecheckMs = 2;

// ---------------------------------------------------------------- port names

// A tty of sysfs's class that a serial driver serves.
bool isSerialTty(const std::string& name, const fs::path& sysDir);
// The path a port name opens and the device it must be; "" when refused.
std::string checkPort(const std::string& port, const std::string& devDir, const fs::path& sysDir,
                      dev_t& device);
// Keeps other programs off the port before its device is opened: 0, or the
// error when another holds it; `lockFile` is the lock taken ("" when none).
std::uint32_t claimPort(const std::string& lockDir, const std::string& path, dev_t device,
                        std::string& lockFile);

// ---------------------------------------------------------------- ports

struct Port {
  explicit Port(int descriptor) : fd(descriptor) {}
  ~Port() { ::close(epoll); }

  const int fd;
  std::string lockFile;  // ours to remove at the close; "" when none was taken
  // The descriptor's input, edge-triggered: one wake per arrival, also while
  // earlier bytes sit unread.
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::atomic<bool> closed{false};
  std::atomic<bool> gone{false};  // unplugged or hung up
  // Held shared by every call that uses fd; the close takes it alone.
  std::shared_mutex use;

  std::mutex mutex;  // everything below
  StatusWait wait{[](Handle event) { eventfd_write(static_cast<int>(event), 1); }};
  bool counters = true;    // the driver keeps TIOCGICOUNT
  bool modemLines = true;  // and has modem lines (a pty has neither)
  serial_icounter_struct seen{};
  int lines = 0;                       // TIOCM_* levels at the last look, where looked at
  int inQueue = 0;                     // bytes waiting at the last look
  serial_icounter_struct errorBase{};  // at the last ClearCommError
  std::uint32_t inQueueSize = 0;
  CommTimeouts timeouts{};
  std::thread watcher;  // of the modem lines, while the mask has any
  bool stopping = false;
  bool watcherDone = false;
  bool recheck = false;
  bool rearm = false;  // the line settings changed under a watcher that waits
  std::condition_variable watcherEnded;
  std::chrono::nanoseconds byteTime{0};  // one byte on the line at the set rate
  std::atomic<bool> emptyBit{true};      // TIOCSERGETLSR tells when the bytes are out
};

// Each called with the port's mutex held.
std::uint32_t errorFlags(const serial_icounter_struct& was, const serial_icounter_struct& now);
// The Win32 error of a failed call's errno; a port that is gone ends its wait.
std::uint32_t failed(Port& p, int err);
// Reads the counters (and the line levels and the input queue where asked)
// and adds the events of what changed since the last look.
std::uint32_t look(Port& p, bool levels, bool queue);

// ---------------------------------------------------------------- line watcher

// The signal that ends a TIOCMIWAIT or a drain.
int wakeSignal();
// A look from a thread that waits on the port's status wait: at the input as
// it arrives, or at the lines once more after a wake.
void lookAgain(Port& p, bool input);
// The watcher's thread, started by SetCommMask, and its end.
void watch(Port& p);
void stopWatcher(Port& p);

// ---------------------------------------------------------------- platform

struct PollSet;  // linux_events.cpp

class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform(std::string devDir, fs::path sysDir, std::string lockDir);
  ~LinuxPlatform() override;

  // linux_comm.cpp
  Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                     std::uint32_t disposition, std::uint32_t flags) override;
  std::uint32_t GetLastError() override { return lastError; }
  bool CloseHandle(Handle h) override;
  bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommState(Handle h, const DCB& dcb) override;
  bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) override;
  bool SetCommMask(Handle h, std::uint32_t mask) override;
  bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) override;
  bool GetOverlappedResult(Handle h, Overlapped* overlapped, std::uint32_t* transferred,
                           bool wait) override;
  bool EscapeCommFunction(Handle h, std::uint32_t function) override;
  bool GetCommModemStatus(Handle h, std::uint32_t* status) override;
  bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) override;
  bool PurgeComm(Handle h, std::uint32_t flags) override;
  bool WriteFile(Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                 Overlapped* overlapped) override;

  // linux_events.cpp
  Handle CreateEventA(bool manualReset, bool initialState) override;
  bool SetEvent(Handle h) override;
  bool ResetEvent(Handle h) override;
  std::uint32_t WaitForSingleObject(Handle h, std::uint32_t milliseconds) override;
  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* handles, bool waitAll,
                                       std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override;

  // linux_port_names.cpp
  bool listPorts(std::vector<std::string>& names) override;

 private:
  std::shared_ptr<Port> port(Handle h);
  bool isEventLocked(Handle h) const;
  bool isEvent(Handle h);
  // Fills one round of a wait's poll; false when a handle is no event.
  bool gather(std::uint32_t count, const Handle* handles, PollSet& set);
  // Runs `call` on the open port of `h`, with its descriptor held open and
  // its state locked; the call gives 0 or a Win32 error code.
  template <typename Call>
  bool onPort(Handle h, Call&& call);

  const std::string devDir_;
  const fs::path sysDir_;
  const std::string lockDir_;
  std::mutex mutex_;
  std::map<int, std::shared_ptr<Port>> ports_;
  std::map<int, bool> events_;  // eventfd -> manual reset
};

}  // namespace sys::tty
