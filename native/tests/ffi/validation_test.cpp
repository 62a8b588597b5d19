#include "validation.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "boundary_reasons.hpp"

namespace tarnwick {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
const double NAN_PAYLOAD = std::bit_cast<double>(0xfff0'0000'0000'0abcULL);  // signalling, negative

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Rejection {
  const char* name;
  std::function<void(tarnwick_config_t&)> edit;
  bool null_config;
  std::string_view reason;
  std::uint32_t benchmark;
  double warmup;  // compared bit for bit
  double measure;
};

tarnwick_config_t host_config() {
  tarnwick_config_t c = DEFAULT_CONFIG;
  c.warmup_seconds = 7.25;  // not the defaults, so an echo is visible
  c.measure_seconds = 3.5;
  return c;
}

TEST(Validate, RejectionsFollowTheCheckOrder) {
  const auto none = [](tarnwick_config_t&) {};
  const Rejection cases[] = {
      {"null", none, true, reasons::CONFIG_NULL, 1, 120.0, 60.0},
      {"abi 2", [](auto& c) { c.abi_version = 2; }, false, reasons::INCOMPATIBLE_CONFIG, 1, 120.0,
       60.0},
      {"size 40", [](auto& c) { c.size = 40; }, false, reasons::INCOMPATIBLE_CONFIG, 1, 120.0,
       60.0},
      {"abi first", [](auto& c) { c.abi_version = 0, c.benchmark = 9; }, false,
       reasons::INCOMPATIBLE_CONFIG, 1, 120.0, 60.0},
      {"benchmark 0", [](auto& c) { c.benchmark = 0; }, false, reasons::UNKNOWN_BENCHMARK, 1, 7.25,
       3.5},
      {"benchmark 3 before reserved",
       [](auto& c) { c.benchmark = 3, c.reserved = 1, c.warmup_seconds = -1.0; }, false,
       reasons::UNKNOWN_BENCHMARK, 1, -1.0, 3.5},
      {"reserved", [](auto& c) { c.benchmark = 2, c.reserved = 1; }, false,
       reasons::RESERVED_NOT_ZERO, 2, 7.25, 3.5},
      {"warmup negative", [](auto& c) { c.warmup_seconds = -1.0; }, false, reasons::BAD_DURATIONS,
       1, -1.0, 3.5},
      {"warmup nan", [](auto& c) { c.warmup_seconds = NAN_PAYLOAD; }, false, reasons::BAD_DURATIONS,
       1, NAN_PAYLOAD, 3.5},
      {"warmup inf", [](auto& c) { c.warmup_seconds = INF; }, false, reasons::BAD_DURATIONS, 1, INF,
       3.5},
      {"warmup 2^64", [](auto& c) { c.warmup_seconds = 0x1p64; }, false, reasons::BAD_DURATIONS, 1,
       0x1p64, 3.5},
      {"measure zero", [](auto& c) { c.measure_seconds = 0.0; }, false, reasons::BAD_DURATIONS, 1,
       7.25, 0.0},
      {"measure negative zero", [](auto& c) { c.measure_seconds = -0.0; }, false,
       reasons::BAD_DURATIONS, 1, 7.25, -0.0},
      {"measure nan", [](auto& c) { c.measure_seconds = NAN_PAYLOAD; }, false,
       reasons::BAD_DURATIONS, 1, 7.25, NAN_PAYLOAD},
      {"measure inf", [](auto& c) { c.measure_seconds = INF; }, false, reasons::BAD_DURATIONS, 1,
       7.25, INF},
      {"measure 2^64", [](auto& c) { c.measure_seconds = 0x1p64; }, false, reasons::BAD_DURATIONS,
       1, 7.25, 0x1p64},
  };
  for (const Rejection& r : cases) {
    SCOPED_TRACE(r.name);
    tarnwick_config_t c = host_config();
    r.edit(c);
    Result<RunRequest, Outcome> checked = validate(r.null_config ? nullptr : &c);
    ASSERT_FALSE(checked.has_value());
    const Outcome& o = checked.error();
    EXPECT_EQ(o.status, STATUS_FAILED);
    EXPECT_EQ(o.reason, r.reason);
    EXPECT_EQ(o.benchmark, r.benchmark);
    EXPECT_EQ(bits(o.warmup_seconds), bits(r.warmup));
    EXPECT_EQ(bits(o.measure_seconds), bits(r.measure));
    EXPECT_EQ(o.threads, 0u);
    EXPECT_TRUE(o.samples.empty());
    EXPECT_FALSE(o.mean_rate.has_value());
    EXPECT_EQ(o.version, VERSION);
  }
}

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
