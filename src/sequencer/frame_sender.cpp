#include "sequencer/frame_sender.h"

#include <utility>

namespace sequencer {

void FrameSender::send(Frame frame, Done done) {
  if (frame.kind == Frame::Kind::Step) frame.settleClock = linesUnsettled_;
  linesUnsettled_ = true;
  post(frame, std::move(done));
}

void FrameSender::lowerLines() {
  linesUnsettled_ = true;
  port_.SetRTS(false);
  port_.SetDTR(false);
  linesUnsettled_ = false;
}

void ImmediateSender::post(const Frame& frame, Done done) {
  const FrameResult result = sendFrame(port_, frame);
  settled(result);
  done(result);
}

void ThreadedSender::post(const Frame& frame, Done done) {
  thread_.send(frame, [this, done = std::move(done)](const FrameResult& result) {
    settled(result);
    done(result);
  });
}

}  // namespace sequencer
