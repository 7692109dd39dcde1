#include "support/board_frames.h"

namespace testing_support {

std::string checkFrame(const std::vector<std::string>& tokens, const std::vector<bool>& bits) {
  std::size_t shifted = 0;
  bool clockHigh = false;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    const std::string at = " at token " + std::to_string(i) + " (" + t + ")";
    if (t == "U0" || t == "U1") {
      if (clockHigh) return "rising edge while the clock is high" + at;
      if (shifted == bits.size()) return "more than " + std::to_string(bits.size()) + " shifts";
      if ((t == "U1") != bits[shifted]) {
        return "channel " + std::to_string(shifted + 1) + " shifted the wrong bit" + at;
      }
      ++shifted;
      clockHigh = true;
    } else if (t == "D") {
      if (!clockHigh) return "falling edge while the clock is low" + at;
      clockHigh = false;
    } else if (t == "R0" || t == "R1") {
      // the data line may move freely while the clock is low
    } else if (t == "B01") {
      if (shifted != bits.size()) {
        return "latch after " + std::to_string(shifted) + " shifts" + at;
      }
      if (clockHigh) return "latch while the clock is high" + at;
      if (i + 1 != tokens.size()) return "tokens after the latch" + at;
      return {};
    } else {
      return "unexpected token" + at;  // r0/r1 (data moved inside a pulse), S, other bytes
    }
  }
  return "no latch byte after " + std::to_string(shifted) + " shifts";
}

std::array<std::uint8_t, 6> registersFor(const std::vector<bool>& bits) {
  std::array<std::uint8_t, 6> registers{};
  for (int k = 1; k <= 48; ++k) {
    if (bits[k - 1]) registers[(48 - k) / 8] |= static_cast<std::uint8_t>(1u << ((48 - k) % 8));
  }
  return registers;
}

}  // namespace testing_support
