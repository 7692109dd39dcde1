#include "sequencer/frame.h"

using table::kChannels;

namespace sequencer {

namespace {
const std::string kLatch(1, '\x01');
}

FrameResult sendFrame(comport::TSerialPort& port, const Frame& frame) {
  FrameResult result;
  try {
    if (frame.kind == Frame::Kind::Step) {
      if (frame.settleClock) port.SetDTR(false);
      for (int k = 1; k <= kChannels; ++k) {
        port.SetRTS(frame.bits[k - 1]);
        result.bitsSent = k;
        port.SetDTR(true);
        port.SetDTR(false);
      }
    } else {
      port.SetRTS(false);
      port.SetDTR(false);
      for (int i = 0; i < kChannels; ++i) {
        port.SetDTR(true);
        port.SetDTR(false);
      }
    }
    port.WriteText(kLatch);
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  return result;
}

}  // namespace sequencer
