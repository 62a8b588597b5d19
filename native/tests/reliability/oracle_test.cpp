// The oracle the fuzzing trusts, pinned to hand-checked values, and the
// library held to the same rows.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "config_check.hpp"
#include "config_oracle.hpp"

namespace tarnwick::reliability {
namespace {

using Limits = std::numeric_limits<double>;

struct DurationRow {
  const char* name;
  double seconds;
  bool valid;
  std::uint64_t secs;
  std::uint32_t nanos;
};

TEST(ExactDuration, MatchesHandCheckedConversions) {
  const double below_two_to_64 = std::nextafter(TWO_TO_64, 0.0);
  const DurationRow rows[] = {
      {"zero", 0.0, true, 0, 0},
      {"negative zero", -0.0, true, 0, 0},
      {"one and a half", 1.5, true, 1, 500'000'000},
      {"a tenth", 0.1, true, 0, 100'000'000},
      // 976,562.5 ns and 2,929,687.5 ns: ties go to the even neighbour.
      {"tie down to even", 1.0 / 1024.0, true, 0, 976'562},
      {"tie up to even", 3.0 / 1024.0, true, 0, 2'929'688},
      {"2^-31 is under half a nanosecond", std::ldexp(1.0, -31), true, 0, 0},
      {"0.6 ns", 6e-10, true, 0, 1},
      {"0.1 ns", 1e-10, true, 0, 0},
      {"1.4 ns", 1.4e-9, true, 0, 1},
      {"1.6 ns", 1.6e-9, true, 0, 2},
      {"just below one second carries", std::nextafter(1.0, 0.0), true, 1, 0},
      {"0.9999999994 s", 0.9999999994, true, 0, 999'999'999},
      {"smallest subnormal", Limits::denorm_min(), true, 0, 0},
      {"1e19 s", 1e19, true, 10'000'000'000'000'000'000ULL, 0},
      {"largest below 2^64", below_two_to_64, true, 18'446'744'073'709'549'568ULL, 0},
      {"2^64", TWO_TO_64, false, 0, 0},
      {"infinity", Limits::infinity(), false, 0, 0},
      {"NaN", Limits::quiet_NaN(), false, 0, 0},
      {"negative NaN", -Limits::quiet_NaN(), false, 0, 0},
      {"minus one", -1.0, false, 0, 0},
      {"negative subnormal", -Limits::denorm_min(), false, 0, 0},
  };
  for (const DurationRow& row : rows) {
    const ExactDuration got = exact_duration(row.seconds);
    EXPECT_EQ(got.valid, row.valid) << row.name;
    EXPECT_EQ(got.secs, row.secs) << row.name;
    EXPECT_EQ(got.nanos, row.nanos) << row.name;
  }
}

struct RecordRow {
  const char* name;
  std::uint32_t abi, size, benchmark, reserved;
  double warmup, measure;
  std::uint32_t status;
  std::string_view reason;
  std::uint32_t stored_benchmark;
  bool stores_defaults;  // 120 s and 60 s instead of the host's values
};

class RecordRows : public ::testing::Test {
 protected:
  static std::uint32_t workers() {
    static const std::uint32_t count = benchmark_two_workers();
    return count;
  }
};

TEST_F(RecordRows, OracleAndLibraryAgreeOnEveryRule) {
  const double nan = Limits::quiet_NaN();
  const double inf = Limits::infinity();
  namespace t = oracle_text;
  const RecordRow rows[] = {
      {"defaults", 1, 32, 1, 0, 120.0, 60.0, 1, t::CANCELLED_BEFORE, 1, false},
      {"all CPUs", 1, 32, 2, 0, 0.0, 1.0, 1, t::CANCELLED_BEFORE, 2, false},
      {"abi 2", 2, 32, 1, 0, 1.0, 1.0, 2, t::INCOMPATIBLE, 1, true},
      {"size 40", 1, 40, 1, 0, 1.0, 1.0, 2, t::INCOMPATIBLE, 1, true},
      {"abi checked before benchmark", 0, 32, 9, 1, -1.0, nan, 2, t::INCOMPATIBLE, 1, true},
      {"benchmark 0", 1, 32, 0, 0, 1.0, 1.0, 2, t::UNKNOWN_BENCHMARK, 1, false},
      {"benchmark 3 before reserved", 1, 32, 3, 1, 1.0, 1.0, 2, t::UNKNOWN_BENCHMARK, 1, false},
      {"reserved with benchmark 2", 1, 32, 2, 1, 1.0, 1.0, 2, t::RESERVED, 2, false},
      {"reserved before durations", 1, 32, 1, 7, nan, nan, 2, t::RESERVED, 1, false},
      {"negative zero warm-up", 1, 32, 1, 0, -0.0, 1.0, 1, t::CANCELLED_BEFORE, 1, false},
      {"negative warm-up", 1, 32, 2, 0, -1.0, 1.0, 2, t::DURATIONS, 2, false},
      {"NaN warm-up", 1, 32, 1, 0, nan, 1.0, 2, t::DURATIONS, 1, false},
      {"infinite warm-up", 1, 32, 1, 0, inf, 1.0, 2, t::DURATIONS, 1, false},
      {"2^64 warm-up", 1, 32, 1, 0, TWO_TO_64, 1.0, 2, t::DURATIONS, 1, false},
      {"1e19 warm-up is valid", 1, 32, 1, 0, 1e19, 1.0, 1, t::CANCELLED_BEFORE, 1, false},
      {"zero window", 1, 32, 1, 0, 0.0, 0.0, 2, t::DURATIONS, 1, false},
      {"negative zero window", 1, 32, 1, 0, 0.0, -0.0, 2, t::DURATIONS, 1, false},
      {"NaN window", 1, 32, 1, 0, 0.0, nan, 2, t::DURATIONS, 1, false},
      {"infinite window", 1, 32, 1, 0, 0.0, inf, 2, t::DURATIONS, 1, false},
      {"sub-nanosecond window", 1, 32, 2, 0, 0.0, 1e-10, 2, t::NOT_POSITIVE, 2, false},
      {"subnormal window", 1, 32, 1, 0, 0.0, Limits::denorm_min(), 2, t::NOT_POSITIVE, 1, false},
      {"0.6 ns window", 1, 32, 1, 0, 0.0, 6e-10, 1, t::CANCELLED_BEFORE, 1, false},
      {"sub-nanosecond warm-up kept", 1, 32, 1, 0, 1e-10, 1.0, 1, t::CANCELLED_BEFORE, 1, false},
  };
  for (const RecordRow& row : rows) {
    unsigned char record[32];
    const std::uint32_t words[4] = {row.abi, row.size, row.benchmark, row.reserved};
    std::memcpy(record, words, sizeof words);
    std::memcpy(record + 16, &row.warmup, 8);
    std::memcpy(record + 24, &row.measure, 8);

    const Expectation want = expect_cancelled_run(record);
    EXPECT_EQ(want.status, row.status) << row.name;
    EXPECT_EQ(want.reason, row.reason) << row.name;
    EXPECT_EQ(want.benchmark, row.stored_benchmark) << row.name;
    EXPECT_EQ(want.warmup_bits, bits_of(row.stores_defaults ? 120.0 : row.warmup)) << row.name;
    EXPECT_EQ(want.measure_bits, bits_of(row.stores_defaults ? 60.0 : row.measure)) << row.name;
    EXPECT_EQ(want.threads == ThreadCount::workers, row.status == 1) << row.name;

    EXPECT_EQ(check_cancelled_run(record, workers(), true), "") << row.name;
  }
  const Expectation null_config = expect_cancelled_run(nullptr);
  EXPECT_EQ(null_config.reason, oracle_text::CONFIG_NULL);
  EXPECT_EQ(null_config.warmup_bits, bits_of(120.0));
  EXPECT_EQ(check_cancelled_run(nullptr, workers(), true), "");
}

}  // namespace
}  // namespace tarnwick::reliability
