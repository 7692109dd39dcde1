// A player, its table and its form state wired to a virtual board on "COM2", with every call
// logged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/sys/virtual_board.h"
#include "support/expect_com_port.h"
#include "support/recording_platform.h"
#include "support/sequencer_setup.h"

namespace testing_support {

class SequencerTest : public ::testing::Test {
 protected:
  SequencerTest() : player(platform, nullptr, table, form) {
    platform.setLogging(true);
    form.setComboText("COM2");
    enableAllChannels(player);
  }

  // Puts "1" into the given channels of a column.
  void setColumn(int col, std::initializer_list<int> channels) {
    for (int k : channels) putCell(table, col, k, "1");
  }

  // The line operations and writes logged since the last clear.
  std::vector<Call> wire() const { return platform.wire(); }

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
    for (int c = 0; c < table.colCount() + 1; ++c)
      row += table.cells().text(c, 0).empty() ? "." : "v";
    return row;
  }

  void start() {
    player.startOrPause();
    ASSERT_TRUE(player.SerialPort1().IsOpen());
  }

  std::shared_ptr<sys::VirtualBoard> board = std::make_shared<sys::VirtualBoard>("COM2");
  RecordingPlatform platform{*board};
  sequencer::SequenceTable table;
  sequencer::MainFormState form;
  sequencer::Player player;
};

}  // namespace testing_support
