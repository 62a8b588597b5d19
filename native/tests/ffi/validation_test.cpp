#include "validation.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

namespace tarnwick {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Rejections are checked through the exported interface, by the C tests;
// what only shows here is what an accepted record hands to the driver.
struct Accepted {
  const char* name;
  std::uint32_t benchmark;
  double warmup;
  double measure;
  Duration warmup_duration;
  Duration measure_duration;
};

TEST(Validate, AcceptedRecordsCarryConvertedDurationsAndTheHostDoubles) {
  const Accepted cases[] = {
      {"defaults", 1, 120.0, 60.0, {120, 0}, {60, 0}},
      {"all cpus", 2, 0.0, 1.5, {0, 0}, {1, 500'000'000}},
      {"negative zero warm-up", 1, -0.0, 1.0, {0, 0}, {1, 0}},
      {"sub-nanosecond warm-up", 1, 1e-10, 1.0, {0, 0}, {1, 0}},
      // Positive, so it passes here; the driver refuses the empty window.
      {"sub-nanosecond window", 1, 0.0, 1e-10, {0, 0}, {0, 0}},
      {"largest warm-up",
       1,
       std::nextafter(0x1p64, 0.0),
       0.25,
       {18'446'744'073'709'549'568ULL, 0},
       {0, 250'000'000}},
  };
  for (const Accepted& a : cases) {
    SCOPED_TRACE(a.name);
    tarnwick_config_t c = DEFAULT_CONFIG;
    c.benchmark = a.benchmark;
    c.warmup_seconds = a.warmup;
    c.measure_seconds = a.measure;
    Result<RunRequest, Outcome> checked = validate(&c);
    ASSERT_TRUE(checked.has_value());
    const RunRequest& r = checked.value();
    EXPECT_EQ(r.benchmark, a.benchmark);
    EXPECT_EQ(r.durations.warmup, a.warmup_duration);
    EXPECT_EQ(r.durations.measure, a.measure_duration);
    EXPECT_EQ(bits(r.warmup_seconds), bits(a.warmup));
    EXPECT_EQ(bits(r.measure_seconds), bits(a.measure));
  }
}

}  // namespace
}  // namespace tarnwick
