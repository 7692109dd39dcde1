// What the rig's tests share: the line to the host board, a wait for a
// condition with a generous limit (the guest runs under emulation), and
// expected outputs.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hil/board_link.h"

namespace hil {

// One line per test program: the host keeps one board state per port.
inline BoardLink& link() {
  static BoardLink theLink;
  return theLink;
}

inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline std::vector<bool> bitsFor(std::initializer_list<int> channels) {
  std::vector<bool> bits(48, false);
  for (int k : channels) bits[k - 1] = true;
  return bits;
}

using testing_support::registersFor;

class BoardTest : public ::testing::TestWithParam<Board> {
 protected:
  void SetUp() override { link().reset(GetParam()); }
  Board board() const { return GetParam(); }
  const char* port() const { return portName(GetParam()); }
};

inline std::string boardName(const ::testing::TestParamInfo<Board>& info) {
  switch (info.param) {
    case Board::Uart: return "Uart8250";
    case Board::Adapter: return "FtdiAdapter";
    case Board::Emulated: return "EmulatedFt232r";
  }
  return "";
}

}  // namespace hil
