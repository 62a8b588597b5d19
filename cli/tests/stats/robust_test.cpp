#include "stats/robust.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tarnwick {
namespace {

TEST(Median, OddEvenAndEmpty) {
  EXPECT_DOUBLE_EQ(median({3, 1, 2}), 2);
  EXPECT_DOUBLE_EQ(median({4, 1, 3, 2}), 2.5);
  EXPECT_DOUBLE_EQ(median({7}), 7);
  EXPECT_TRUE(std::isnan(median({})));
}

TEST(MedianAbsoluteDeviation, IgnoresTheFarValue) {
  // Median 3; deviations 2, 1, 0, 1, 97 -> 1.
  EXPECT_DOUBLE_EQ(median_absolute_deviation({1, 2, 3, 4, 100}), 1);
  EXPECT_TRUE(std::isnan(median_absolute_deviation({})));
}

TEST(RobustZ, ScalesByTheMadAndNeverDividesByZero) {
  EXPECT_DOUBLE_EQ(robust_z(100, 3, 1), 0.6745 * 97);
  EXPECT_DOUBLE_EQ(robust_z(1, 3, 1), -0.6745 * 2);
  EXPECT_EQ(robust_z(100, 3, 0), 0);
  EXPECT_EQ(robust_z(100, 3, std::nan("")), 0);
}

TEST(Outliers, FlagsExactlyThePlantedValue) {
  // Median 99.5, MAD 1.5: the 60 scores 0.6745 x -39.5 / 1.5 = -17.8, the
  // next farthest (102) 1.1.
  EXPECT_EQ(outliers({100, 102, 98, 101, 99, 60}), std::vector<std::size_t>{5});
  // Median 10, MAD 1: 15 scores 3.37 (kept), 16 scores 4.05 (flagged), and
  // both sides count.
  EXPECT_TRUE(outliers({9, 10, 10, 11, 15}).empty());
  EXPECT_EQ(outliers({9, 10, 10, 11, 16}), std::vector<std::size_t>{4});
  EXPECT_EQ(outliers({4, 10, 10, 11, 9}), std::vector<std::size_t>{0});
}

TEST(Outliers, NoneWithoutEnoughValuesOrSpread) {
  EXPECT_TRUE(outliers({}).empty());
  EXPECT_TRUE(outliers({1, 100}).empty());
  // Three equal values out of four: MAD 0.
  EXPECT_TRUE(outliers({5, 5, 5, 9}).empty());
}

}  // namespace
}  // namespace tarnwick
