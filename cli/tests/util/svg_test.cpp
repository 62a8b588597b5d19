#include "util/svg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tarnwick {
namespace {

TEST(NiceTicks, CoverTheRangeInRoundSteps) {
  struct Case {
    double low, high;
  };
  for (const Case& c : {Case{0.0, 1.3}, Case{0.0, 60.2}, Case{812345.0, 1234567.0}, Case{0.0, 0.0},
                        Case{5e6, 5e6}, Case{0.001, 0.0013}, Case{-3.0, 7.0}}) {
    const std::vector<double> ticks = nice_ticks(c.low, c.high);
    ASSERT_GE(ticks.size(), 2u) << c.low;
    EXPECT_LE(ticks.front(), c.low);
    EXPECT_GE(ticks.back(), c.high);
    EXPECT_LE(ticks.size(), 8u) << c.low << " " << c.high;
    const double step = ticks[1] - ticks[0];
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::abs(mantissa - 1.0) < 1e-6 || std::abs(mantissa - 2.0) < 1e-6 ||
                std::abs(mantissa - 5.0) < 1e-6)
        << step;
  }
  EXPECT_EQ(nice_ticks(0.0, 10.0), (std::vector<double>{0, 2, 4, 6, 8, 10}));
  EXPECT_EQ(nice_ticks(NAN, 1.0).size(), 2u);
}

TEST(XmlEscape, EscapesTheFiveCharactersOfMarkup) {
  EXPECT_EQ(xml_escape("a<b & \"c\">"), "a&lt;b &amp; &quot;c&quot;&gt;");
  EXPECT_EQ(xml_escape("node01 \u00b7 x"), "node01 \u00b7 x");
}

}  // namespace
}  // namespace tarnwick
