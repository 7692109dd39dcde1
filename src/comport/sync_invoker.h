// The "run on the GUI thread" service the port's event thread needs. The
// component stays free of any window system: the program gives it an invoker
// whose GUI side is woken by the toolkit.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace comport {

class SyncInvoker {
 public:
  virtual ~SyncInvoker() = default;

  // Worker thread: runs `call` on the GUI thread and waits until it has run.
  // An exception thrown by `call` is thrown again here.
  virtual void synchronize(const std::function<void()>& call) = 0;
  // Worker thread: hands `message` to the GUI thread and returns as soon as
  // the GUI thread has taken it, as a sent message that is replied at once;
  // the GUI thread then runs it.
  virtual void send(std::function<void()> message) = 0;
  // GUI thread: runs the calls and messages that wait for it. Whoever waits on
  // the GUI thread for a worker must keep calling this, or the two can block
  // each other.
  virtual bool checkSynchronize() = 0;
  // GUI thread: shows an exception that a message let out and goes on.
  virtual void handleException(const std::exception& e) = 0;
};

// A thread-safe queue that does the work of an invoker. `wake` is called (from
// the worker) whenever something is queued, so the toolkit can make the GUI
// thread call checkSynchronize soon; `onException` shows a message's error.
class SyncQueue : public SyncInvoker {
 public:
  std::function<void()> wake;
  std::function<void(const std::exception&)> onException;

  void synchronize(const std::function<void()>& call) override;
  void send(std::function<void()> message) override;
  bool checkSynchronize() override;
  void handleException(const std::exception& e) override;

 private:
  struct Item {
    std::function<void()> run;
    bool synchronous = false;  // synchronize: the worker waits for the end
    bool taken = false;
    bool done = false;
    std::exception_ptr error;
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Item>> items_;
};

}  // namespace comport
