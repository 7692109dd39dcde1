// The one way a frame reaches the board: the step tick's, the stop's and the
// exit's all-off frame are each handed to a sender, and what the frame did
// comes back to the GUI thread as the frame's `done`. The sender keeps the
// lines' bookkeeping itself: a line sequence cut short (a failed frame, a
// failed lowering of the lines at a start) may have left the clock line
// high, and the next step frame then lowers it first.
#pragma once

#include <functional>
#include <memory>

#include "comport/serial_port.h"
#include "sequencer/frame.h"
#include "sequencer/output_thread.h"

namespace sequencer {

class FrameSender {
 public:
  using Done = std::function<void(const FrameResult&)>;

  virtual ~FrameSender() = default;
  FrameSender(const FrameSender&) = delete;
  FrameSender& operator=(const FrameSender&) = delete;

  // GUI thread, all of them. `done` runs on the GUI thread once the frame
  // has gone out (or failed): at once, or at a later deliver() or finish().
  void send(Frame frame, Done done);
  // RTS and DTR lowered on a port just opened, before its first frame.
  void lowerLines();
  // Frames handed over whose `done` has not run yet.
  virtual bool busy() const = 0;
  // Runs the `done` of every frame that has gone out, in order.
  virtual void deliver() = 0;
  // Waits until every frame handed over has gone out and has run its `done`.
  virtual void finish() = 0;

  bool linesUnsettled() const { return linesUnsettled_; }

 protected:
  FrameSender(comport::TSerialPort& port, bool linesUnsettled)
      : port_(port), linesUnsettled_(linesUnsettled) {}
  // Puts the frame on its way; `settled` must run before `done`.
  virtual void post(const Frame& frame, Done done) = 0;
  // Frames come back in the order they went out: the last one leaves the lines.
  void settled(const FrameResult& result) { linesUnsettled_ = result.error.has_value(); }

  comport::TSerialPort& port_;

 private:
  bool linesUnsettled_;
};

// Sends each frame on the calling thread before send() returns.
class ImmediateSender : public FrameSender {
 public:
  explicit ImmediateSender(comport::TSerialPort& port, bool linesUnsettled = false)
      : FrameSender(port, linesUnsettled) {}
  bool busy() const override { return false; }
  void deliver() override {}
  void finish() override {}

 private:
  void post(const Frame& frame, Done done) override;
};

// Sends the frames on an output thread of their own. `wake` is called on
// that thread after each frame: the GUI thread is to call deliver() soon.
// Its end waits for the frames on their way and drops their `done`.
class ThreadedSender : public FrameSender {
 public:
  ThreadedSender(comport::TSerialPort& port, bool linesUnsettled, std::function<void()> wake)
      : FrameSender(port, linesUnsettled), thread_(port, std::move(wake)) {}
  bool busy() const override { return thread_.busy(); }
  void deliver() override { thread_.deliver(); }
  void finish() override { thread_.finish(); }

 private:
  void post(const Frame& frame, Done done) override;

  OutputThread thread_;
};

}  // namespace sequencer
