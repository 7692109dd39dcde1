// What a board on the wire should see: the checks of the board models' wire
// logs (tests/hil/board_shim.c), shared by the rig and the Windows tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// The whole frame a column should produce on the board: 48 rising DTR edges
// that shift the column's bits (channel 1 first), each followed by a falling
// edge, RTS moving only while DTR is low, then the latch byte. Returns an
// empty text when `tokens` is such a frame of `bits`, otherwise what is wrong.
std::string checkFrame(const std::vector<std::string>& tokens, const std::vector<bool>& bits);

// The six registers a column must leave latched, by the board's wiring:
// channel k ends in register (48 - k) / 8 + 1, output Q((48 - k) mod 8).
std::array<std::uint8_t, 6> registersFor(const std::vector<bool>& bits);

}  // namespace testing_support
