#include "util/sparkline.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace tarnwick {
namespace {

TEST(Sparkline, MapsTheRangeOntoSevenBarsInOneAlphabet) {
  EXPECT_EQ(sparkline({0, 1, 2, 3, 4, 5, 6}, 0, 6, false), "_.:-=+#");
  EXPECT_EQ(sparkline({-5, 9}, 0, 6, false), "_#");  // clamped
  EXPECT_EQ(sparkline({3, 3}, 3, 3, false), "--");   // a flat range sits in the middle
  EXPECT_EQ(sparkline({NAN}, 0, 1, false), "-");
  EXPECT_EQ(sparkline({0, 6}, 0, 6, true), "\u2581\u2587");
  EXPECT_EQ(sparkline({}, 0, 1, true), "");
}

}  // namespace
}  // namespace tarnwick
