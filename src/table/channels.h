// The number of output channels: the board's six chained 8-bit shift
// registers, and so the table's channel rows.
#pragma once

namespace table {

inline constexpr int kChannels = 48;

}  // namespace table
