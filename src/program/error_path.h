// The one place that decides what the user is told. Every error that leaves
// a handler of the program comes here; the display shows what passes, one box
// at a time and in order, and says when the user has closed one.
//   - A run of failing step ticks is one message, its first. The run says so
//     again once that message has been closed (it is still failing), or when
//     a new run begins: a tick went through, or the run was started or stopped.
//   - Every other error is shown; none is dropped because a box is open. Only
//     a text that is already waiting behind the open box is not queued twice.
#pragma once

#include <deque>
#include <string>

namespace program {

// Shows an error message to the user and returns at once; the program goes on.
class ErrorSink {
 public:
  virtual ~ErrorSink() = default;
  virtual void showError(const std::string& message) = 0;
};

class ErrorPath : public ErrorSink {
 public:
  explicit ErrorPath(ErrorSink& display) : display_(display) {}

  // Any handler's error.
  void showError(const std::string& message) override;
  // The step tick's.
  void tickFailed(const std::string& message);
  void tickSucceeded() { tickReported_ = false; }
  void runChanged() { tickReported_ = false; }

  // The display: the user has closed the oldest box.
  void closed();

 private:
  struct Entry {
    std::string text;
    bool tick = false;
  };
  void pass(const std::string& message, bool tick);

  ErrorSink& display_;
  std::deque<Entry> unseen_;
  bool tickReported_ = false;
};

}  // namespace program
