#include "util/numbers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarnwick {
namespace {

TEST(ParseNumber, AcceptsWholeNumbersOnly) {
  struct Case {
    const char* text;
    double expected;
  };
  for (const Case& c : {Case{"5", 5.0}, Case{"0.05", 0.05}, Case{"1e-10", 1e-10}, Case{"+3", 3.0},
                        Case{".5", 0.5}, Case{"5.", 5.0}, Case{"-1", -1.0}, Case{"1.3", 1.3},
                        Case{"1e400", HUGE_VAL}, Case{"-1e400", -HUGE_VAL}, Case{"1e-400", 0.0}}) {
    const auto value = parse_number(c.text);
    ASSERT_TRUE(value.has_value()) << c.text;
    EXPECT_EQ(*value, c.expected) << c.text;
  }
  for (const char* text :
       {"", " 5", "5 ", "5s", "1,5", "0x10", "--1", "+-1", "++1", "+", "-", "1e", "five"}) {
    EXPECT_FALSE(parse_number(text).has_value()) << "'" << text << "'";
  }
}

TEST(ParseNumber, KeepsValuesForTheLibraryToJudge) {
  // Negative zero, NaN and infinity are numbers; the library decides.
  const auto negative_zero = parse_number("-0");
  ASSERT_TRUE(negative_zero.has_value());
  EXPECT_TRUE(std::signbit(*negative_zero));
  const auto nan = parse_number("nan");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
  EXPECT_EQ(parse_number("inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_number("-inf"), -std::numeric_limits<double>::infinity());
}

TEST(Grouped, SeparatesThousandsAndRounds) {
  EXPECT_EQ(grouped(0.0), "0");
  EXPECT_EQ(grouped(999.4), "999");
  EXPECT_EQ(grouped(999.6), "1,000");
  EXPECT_EQ(grouped(1234567.0), "1,234,567");
  EXPECT_EQ(grouped(18446744073709551615.0), "18,446,744,073,709,551,616");
}

TEST(ClockTime, ShowsMinutesAndHours) {
  EXPECT_EQ(clock_time(0.0), "0:00");
  EXPECT_EQ(clock_time(59.9), "0:59");
  EXPECT_EQ(clock_time(180.0), "3:00");
  EXPECT_EQ(clock_time(3725.0), "1:02:05");
  EXPECT_EQ(clock_time(-3.0), "0:00");
  EXPECT_EQ(clock_time(std::nan("")), "0:00");
  EXPECT_EQ(clock_time(1e300), "--:--");
}

}  // namespace
}  // namespace tarnwick
