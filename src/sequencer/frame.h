// The two line sequences the board understands, as data the step tick builds
// on the GUI thread, and the one routine that puts a sequence on the wire
// (on whichever thread sends it).
#pragma once

#include <array>
#include <optional>
#include <string>

#include "comport/serial_port.h"
#include "table/channels.h"

namespace sequencer {

struct Frame {
  enum class Kind { Step, AllOff };
  Kind kind = Kind::Step;
  // A step frame's data bits, channel k at [k - 1].
  std::array<bool, table::kChannels> bits{};
  // A line sequence before this one was cut short, so DTR may still be high:
  // it is lowered first, or the first pulse would shift nothing and the board
  // would latch 47 new bits behind a stale one.
  bool settleClock = false;

  static Frame allOff() { return Frame{Kind::AllOff, {}, false}; }
};

struct FrameResult {
  // Channels whose data bit was put on the line before a failure (all 48
  // when none); an indicator shows the bits that were sent.
  int bitsSent = 0;
  // The port's message when a call failed: the frame ended there and nothing
  // was latched.
  std::optional<std::string> error;
};

// Sends `frame` through `port`: a step frame is 48 × (RTS = bit, DTR on, DTR
// off) and the latch byte 01; the all-off frame RTS off, DTR off, 48 × (DTR
// on, DTR off) and the latch byte. Stops at the first call that fails.
FrameResult sendFrame(comport::TSerialPort& port, const Frame& frame);

}  // namespace sequencer
