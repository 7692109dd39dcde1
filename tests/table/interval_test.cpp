#include "table/interval.h"

#include <gtest/gtest.h>

using table::intervalValue;

namespace {

TEST(IntervalTest, DecimalIntegersAndEverythingElseIsOne) {
  EXPECT_EQ(intervalValue("100"), 100);
  EXPECT_EQ(intervalValue("-5"), -5);
  EXPECT_EQ(intervalValue("+7"), 7);
  EXPECT_EQ(intervalValue("0"), 0);
  EXPECT_EQ(intervalValue("  12"), 12);
  EXPECT_EQ(intervalValue("2147483647"), 2147483647);
  EXPECT_EQ(intervalValue("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", " ", "-", "abc", "12 ", "1e3", "2147483648", "-2147483649",
                          "99999999999999999999", "0x1F", "$10", "5.0"}) {
    EXPECT_EQ(intervalValue(bad), 1) << bad;
  }
}

}  // namespace
