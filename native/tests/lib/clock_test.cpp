#include "clock.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace tarnwick {
namespace {

constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t MIN = std::numeric_limits<std::int64_t>::min();

TEST(CheckedAdd, CarriesNanosAndRefusesToPassTheRange) {
  EXPECT_EQ(checked_add({5, 999'999'999}, {0, 1}), (Instant{6, 0}));
  EXPECT_EQ(checked_add({MAX - 2, 0}, {2, 999'999'999}), (Instant{MAX, 999'999'999}));
  EXPECT_EQ(checked_add({MAX - 2, 1}, {2, 999'999'999}), std::nullopt);  // by the carry
  EXPECT_EQ(checked_add({0, 0}, {static_cast<std::uint64_t>(MAX) + 1, 0}), std::nullopt);
}

TEST(SaturatingSince, BorrowsAndStopsAtZero) {
  EXPECT_EQ(saturating_since({7, 100}, {5, 300}), (Duration{1, 999'999'800}));
  EXPECT_EQ(saturating_since({5, 100}, {5, 101}), Duration{});
  EXPECT_EQ(saturating_since({MAX, 0}, {MIN, 0}),
            (Duration{std::numeric_limits<std::uint64_t>::max(), 0}));
}

// 2^64 - 1 ns is 18446744073 s and 709551615 ns: one more saturates.
TEST(SaturatingNanos, CountsExactlyAndStopsAtTheTop) {
  constexpr auto TOP = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(saturating_nanos({2, 5}), 2'000'000'005u);
  EXPECT_EQ(saturating_nanos({18'446'744'073, 709'551'615}), TOP);
  EXPECT_EQ(saturating_nanos({18'446'744'073, 709'551'616}), TOP);
  EXPECT_EQ(saturating_nanos({std::numeric_limits<std::uint64_t>::max(), 999'999'999}), TOP);
  EXPECT_EQ(nanos_as_seconds(1'500'000'000), 1.5);
}

}  // namespace
}  // namespace tarnwick
