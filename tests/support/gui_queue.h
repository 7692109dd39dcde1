// The GUI side of the event thread's calls where no toolkit runs one: a
// SyncQueue whose thread can sleep until the event thread hands it something,
// as the toolkit's event loop does in the program.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "comport/sync_invoker.h"

namespace testing_support {

class GuiQueue : public comport::SyncQueue {
 public:
  GuiQueue() {
    wake = [this] {
      {
        const std::lock_guard lock(wakeMutex_);
        ++queued_;
      }
      woken_.notify_all();
    };
  }

  // Waits up to `timeoutMs` for a call or message queued since the last
  // return; the caller then runs them with checkSynchronize().
  void waitForWork(int timeoutMs) {
    std::unique_lock lock(wakeMutex_);
    woken_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [this] { return queued_ != seen_; });
    seen_ = queued_;
  }

  // The calls and messages queued so far.
  int queued() const {
    const std::lock_guard lock(wakeMutex_);
    return queued_;
  }

 private:
  mutable std::mutex wakeMutex_;
  std::condition_variable woken_;
  int queued_ = 0;
  int seen_ = 0;
};

}  // namespace testing_support
