#include "inputs/matching.h"

#include <array>
#include <cstdint>

#include <gtest/gtest.h>

using inputs::applyInput;
using inputs::MatchingIndices;

namespace {

using Flags = std::array<std::int32_t, 48>;

constexpr std::int32_t kNone = 0;  // "нет"

Flags allFlags(std::int32_t value) {
  Flags flags;
  flags.fill(value);
  return flags;
}

// Output k's switch-on box is ComboBox 2k−1, its switch-off box ComboBox 2k.
void setOn(MatchingIndices& boxes, int output, std::int32_t input) {
  boxes[static_cast<std::size_t>(2 * output - 2)] = input;
}
void setOff(MatchingIndices& boxes, int output, std::int32_t input) {
  boxes[static_cast<std::size_t>(2 * output - 1)] = input;
}

TEST(MatchingRule, WithEveryBoxAtNoneNoInputChangesAFlag) {
  MatchingIndices boxes{};
  Flags flags = allFlags(1);
  for (int k = 1; k <= 8; k += 2) flags[static_cast<std::size_t>(k - 1)] = 0;
  const Flags before = flags;
  for (int input = 1; input <= 3; ++input) {
    applyInput(input, boxes, flags);
    EXPECT_EQ(flags, before) << "input " << input;
  }
}

TEST(MatchingRule, EachOutputHasItsOwnPairOfBoxes) {
  for (int k = 1; k <= 8; ++k) {
    SCOPED_TRACE("output " + std::to_string(k));
    MatchingIndices on{};
    setOn(on, k, 2);
    Flags flags = allFlags(0);
    applyInput(2, on, flags);
    Flags expected = allFlags(0);
    expected[static_cast<std::size_t>(k - 1)] = 1;
    EXPECT_EQ(flags, expected);

    MatchingIndices off{};
    setOff(off, k, 2);
    flags = allFlags(1);
    applyInput(2, off, flags);
    expected = allFlags(1);
    expected[static_cast<std::size_t>(k - 1)] = 0;
    EXPECT_EQ(flags, expected);
  }
}

TEST(MatchingRule, OnlyTheInputNamedInABoxSwitches) {
  MatchingIndices boxes{};
  setOn(boxes, 1, 1);
  setOff(boxes, 2, 2);
  Flags flags = allFlags(1);
  flags[0] = 0;
  const Flags before = flags;
  applyInput(3, boxes, flags);
  EXPECT_EQ(flags, before);
  applyInput(2, boxes, flags);
  EXPECT_EQ(flags[0], 0) << "input 2 is not output 1's switch-on input";
  EXPECT_EQ(flags[1], 0);
  applyInput(1, boxes, flags);
  EXPECT_EQ(flags[0], 1);
  EXPECT_EQ(flags[1], 0) << "input 1 is not output 2's switch-on input";
}

TEST(MatchingRule, ASwitchOnEnablesOnceAndASwitchOffDisablesOnce) {
  MatchingIndices boxes{};
  setOn(boxes, 3, 1);
  setOff(boxes, 4, 1);
  Flags flags = allFlags(1);
  flags[2] = 0;
  for (int press = 1; press <= 3; ++press) {
    applyInput(1, boxes, flags);
    EXPECT_EQ(flags[2], 1) << "press " << press;
    EXPECT_EQ(flags[3], 0) << "press " << press;
  }
}

TEST(MatchingRule, BothBoxesNamingTheSameInputToggleAtEveryActivation) {
  MatchingIndices boxes{};
  setOn(boxes, 1, 2);
  setOff(boxes, 1, 2);
  Flags flags = allFlags(1);
  const std::int32_t expected[] = {0, 1, 0, 1};
  for (const std::int32_t want : expected) {
    applyInput(2, boxes, flags);
    EXPECT_EQ(flags[0], want);
  }
}

TEST(MatchingRule, OneActivationSwitchesSeveralOutputsSomeOnSomeOff) {
  MatchingIndices boxes{};
  setOn(boxes, 1, 3);
  setOff(boxes, 2, 3);
  setOn(boxes, 5, 3);
  setOff(boxes, 8, 3);
  setOn(boxes, 6, 1);   // another input's choice, left alone
  setOff(boxes, 7, 2);  // likewise
  Flags flags = allFlags(1);
  flags[0] = 0;
  flags[4] = 0;
  flags[5] = 0;
  applyInput(3, boxes, flags);
  Flags expected = allFlags(1);
  expected[1] = 0;
  expected[5] = 0;
  expected[7] = 0;
  EXPECT_EQ(flags, expected);
}

TEST(MatchingRule, ChannelsNineToFortyEightAreNeverTouched) {
  // Every box names input 1 on both rows.
  MatchingIndices boxes;
  boxes.fill(1);
  Flags flags = allFlags(0);
  for (std::size_t i = 8; i < 48; i += 2) flags[i] = 1;
  const Flags rest = flags;
  applyInput(1, boxes, flags);
  for (std::size_t i = 8; i < 48; ++i) EXPECT_EQ(flags[i], rest[i]) << "channel " << i + 1;
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(flags[i], 1) << "output " << i + 1;
  applyInput(1, boxes, flags);
  for (std::size_t i = 8; i < 48; ++i) EXPECT_EQ(flags[i], rest[i]) << "channel " << i + 1;
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(flags[i], 0) << "output " << i + 1;
}

TEST(MatchingRule, AFlagThatIsNeitherZeroNorOneIsLeftAsItIs) {
  MatchingIndices boxes{};
  setOn(boxes, 1, 1);
  setOff(boxes, 2, 1);
  setOn(boxes, 3, 1);
  setOff(boxes, 3, 1);
  Flags flags = allFlags(1);
  flags[0] = 2;
  flags[1] = -1;
  flags[2] = 7;
  applyInput(1, boxes, flags);
  EXPECT_EQ(flags[0], 2);
  EXPECT_EQ(flags[1], -1);
  EXPECT_EQ(flags[2], 7);
}

TEST(MatchingRule, BoxesWithoutAChoiceMatchNoInput) {
  MatchingIndices boxes;
  boxes.fill(-1);
  setOn(boxes, 4, kNone);
  Flags flags = allFlags(0);
  flags[1] = 1;
  const Flags before = flags;
  for (int input = 1; input <= 3; ++input) applyInput(input, boxes, flags);
  EXPECT_EQ(flags, before);
}

}  // namespace
