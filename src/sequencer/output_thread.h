// The output thread: sends the frames the GUI thread builds, one after another
// in the order they were handed over, so that a port whose every line switch
// is slow (a USB adapter: a control transfer of about a millisecond each, 145
// of them a frame) never holds the window. What a frame did comes back to the
// GUI thread, which runs the frame's `done` itself: everything the program
// shows still changes on one thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "comport/serial_port.h"
#include "sequencer/frame.h"

namespace sequencer {

class OutputThread {
 public:
  using Done = std::function<void(const FrameResult&)>;

  // `wake` is called on the output thread after each frame: the GUI thread is
  // to call deliver() soon.
  OutputThread(comport::TSerialPort& port, std::function<void()> wake);
  // Waits for the frames handed over (a frame is never cut), drops their
  // `done` and ends the thread.
  ~OutputThread();
  OutputThread(const OutputThread&) = delete;
  OutputThread& operator=(const OutputThread&) = delete;

  // GUI thread, all of them.
  void send(const Frame& frame, Done done);
  // Frames handed over whose `done` has not run yet.
  bool busy() const { return pending_ > 0; }
  // Runs the `done` of every frame that has gone out, in order; false when
  // there was none.
  bool deliver();
  // Waits until every frame handed over has gone out and has run its `done`.
  void finish();

 private:
  struct Job {
    Frame frame;
    Done done;
    FrameResult result;
  };

  void run();
  std::deque<Job> takeFinished(bool wait);
  bool runDone(bool wait);

  comport::TSerialPort& port_;
  std::function<void()> wake_;
  int pending_ = 0;  // GUI thread only

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queued_;
  bool sending_ = false;
  std::deque<Job> finished_;
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace sequencer
