// A sequencer wired to a virtual board on "COM2", with every call logged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/sys/virtual_board.h"
#include "sequencer/sequencer.h"
#include "support/recording_platform.h"

namespace testing_support {

class SequencerTest : public ::testing::Test {
 protected:
  SequencerTest() : seq(platform, nullptr) {
    platform.setLogging(true);
    seq.ComboText = "COM2";
    seq.ChannelEnabled.fill(1);
  }

  // Puts "1" into the given channels of a column.
  void setColumn(int col, std::initializer_list<int> channels) {
    for (int k : channels) seq.Cells.setText(col, k, "1");
  }

  // The line operations and writes logged since the last clear.
  std::vector<std::string> wire() const {
    return platform.callTexts({Op::EscapeCommFunction, Op::WriteFile});
  }

  // The latched outputs as channel numbers that are on.
  std::vector<int> channelsOn() const {
    std::vector<int> on;
    for (int k = 1; k <= 48; ++k) {
      if (board->channelOutput(k)) on.push_back(k);
    }
    return on;
  }

  std::string markerRow() const {
    std::string row;
    for (int c = 0; c < seq.ColCount + 1; ++c) row += seq.Cells.text(c, 0).empty() ? "." : "v";
    return row;
  }

  void start() {
    seq.BitBtn1Click();
    ASSERT_TRUE(seq.SerialPort1.IsOpen());
  }

  std::shared_ptr<sys::VirtualBoard> board = std::make_shared<sys::VirtualBoard>("COM2");
  RecordingPlatform platform{*board};
  sequencer::Sequencer seq;
};

// The wire of one step frame for the given 48 bits (channel 1 first).
inline std::vector<std::string> frameWire(const std::vector<bool>& bits) {
  std::vector<std::string> out;
  for (bool bit : bits) {
    out.push_back(bit ? "EscapeCommFunction 3" : "EscapeCommFunction 4");
    out.push_back("EscapeCommFunction 5");
    out.push_back("EscapeCommFunction 6");
  }
  out.push_back("WriteFile 01");
  return out;
}

inline std::vector<bool> bitsFor(std::initializer_list<int> channels) {
  std::vector<bool> bits(48, false);
  for (int k : channels) bits[k - 1] = true;
  return bits;
}

}  // namespace testing_support
