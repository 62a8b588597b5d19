#include "duration.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

std::string hex(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", x);
  return buf;
}

// The oracle works on the exact decimal expansion that printf gives of the
// double (every binary fraction has a finite one, at most 1074 digits), and
// rounds it as a person would on paper: nothing here shares the bit-level
// arithmetic of the code under test.
std::optional<Duration> decimal_oracle(double seconds) {
  if (std::isnan(seconds) || seconds < 0.0 || seconds >= 18446744073709551616.0) {
    return std::nullopt;
  }
  std::vector<char> text(1200);
  std::snprintf(text.data(), text.size(), "%.1100f", seconds);
  const std::string s(text.data());
  const std::size_t point = s.find('.');
  Duration d{std::strtoull(s.substr(0, point).c_str(), nullptr, 10), 0};
  const std::string frac = s.substr(point + 1);
  std::uint64_t nanos = std::strtoull(frac.substr(0, 9).c_str(), nullptr, 10);
  const std::string rest = frac.substr(9);
  const bool above_half =
      rest[0] > '5' || (rest[0] == '5' && rest.find_first_not_of('0', 1) != std::string::npos);
  const bool exactly_half = rest[0] == '5' && !above_half;
  if (above_half || (exactly_half && nanos % 2 == 1)) ++nanos;
  if (nanos == 1'000'000'000) {
    ++d.secs;
    nanos = 0;
  }
  d.nanos = static_cast<std::uint32_t>(nanos);
  return d;
}

struct Worked {
  double seconds;
  std::uint64_t secs;
  std::uint32_t nanos;
};

TEST(DurationFromSeconds, WorkedValuesFromTheExactBinaryValue) {
  const Worked cases[] = {
      {0.0, 0, 0},
      {-0.0, 0, 0},
      {1.0, 1, 0},
      {120.0, 120, 0},
      {1.5, 1, 500'000'000},
      {0.9999999995, 0, 999'999'999},  // just below the tie: no carry
      {0.99999999951, 1, 0},           // rounds up into the seconds
      {5e-10, 0, 1},                   // just above half a nanosecond
      {1.5e-9, 0, 1},                  // just below 1.5 ns
      {2.5e-9, 0, 3},                  // just above 2.5 ns
      {0x1p-10, 0, 976'562},           // 976,562.5 ns: tie to even (down)
      {3 * 0x1p-10, 0, 2'929'688},     // 2,929,687.5 ns: tie to even (up)
      {1e-10, 0, 0},
      {0x1p-31, 0, 0},  // 0.4657 ns
      {0x1p-30, 0, 1},  // 0.9313 ns
      {std::numeric_limits<double>::denorm_min(), 0, 0},
      {std::numeric_limits<double>::min(), 0, 0},
      {std::nextafter(0x1p64, 0.0), 18'446'744'073'709'549'568ULL, 0},
      {2251799813685247.75, 2'251'799'813'685'247ULL, 750'000'000},
      {4503599627370495.5, 4'503'599'627'370'495ULL, 500'000'000},
  };
  for (const Worked& w : cases) {
    SCOPED_TRACE(hex(w.seconds));
    const std::optional<Duration> d = duration_from_seconds(w.seconds);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->secs, w.secs);
    EXPECT_EQ(d->nanos, w.nanos);
  }
}

TEST(DurationFromSeconds, RefusesNegativeNonFiniteAndTooLarge) {
  const double nan_with_payload = std::bit_cast<double>(0x7ff8'0000'0000'1234ULL);
  const double refused[] = {-1.0,
                            -std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::quiet_NaN(),
                            -std::numeric_limits<double>::quiet_NaN(),
                            nan_with_payload,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            0x1p64,
                            1e300,
                            std::numeric_limits<double>::max()};
  for (double x : refused) {
    EXPECT_FALSE(duration_from_seconds(x).has_value()) << hex(x);
  }
}

TEST(DurationFromSeconds, AgreesWithTheDecimalOracle) {
  std::mt19937_64 rng(20240611);
  std::vector<double> values;
  // Random bit patterns across the whole useful range (2^-40 to 2^70 s).
  for (int i = 0; i < 4000; ++i) {
    const std::uint64_t exponent = 1023 - 40 + rng() % 111;
    values.push_back(std::bit_cast<double>(exponent << 52 | (rng() >> 12)));
  }
  // Multiples of 2^-10 s: the only doubles whose nanoseconds are exact ties.
  for (int i = 0; i < 2000; ++i) {
    values.push_back(std::ldexp(static_cast<double>(rng() >> 21), -10));
  }
  // Around every kind of nanosecond boundary, where a double rounding errs.
  for (int i = 0; i < 2000; ++i) {
    const double whole = static_cast<double>(rng() % 100'000);
    const double near = whole + (static_cast<double>(rng() % 1'000'000'000) + 0.5) * 1e-9;
    values.push_back(near);
    values.push_back(std::nextafter(near, 0.0));
    values.push_back(std::nextafter(near, 1e30));
  }
  for (double x : values) {
    const std::optional<Duration> expected = decimal_oracle(x);
    const std::optional<Duration> actual = duration_from_seconds(x);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << hex(x);
    if (expected) {
      ASSERT_EQ(actual->secs, expected->secs) << hex(x);
      ASSERT_EQ(actual->nanos, expected->nanos) << hex(x);
    }
  }
}

}  // namespace
}  // namespace tarnwick
