#include "stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "reasons.hpp"

namespace tarnwick {
namespace {

// time, duration, operations, rate: comparable and printable as a whole.
using Row = std::tuple<double, double, std::uint64_t, double>;

std::vector<Row> rows(const std::vector<Sample>& samples) {
  std::vector<Row> out;
  for (const Sample& s : samples) out.emplace_back(s.time, s.duration, s.operations, s.rate);
  return out;
}

std::vector<Sample> samples_of(const std::vector<Row>& in) {
  std::vector<Sample> out;
  for (const auto& [t, d, ops, r] : in) out.push_back(Sample{t, d, ops, r});
  return out;
}

// One-second samples at `rates` over a window whose overall rate is 1000/s.
Outcome one_second_samples(const std::vector<double>& rates) {
  Outcome o;
  o.measured_seconds = static_cast<double>(rates.size());
  o.operations = static_cast<std::uint64_t>(1000.0 * o.measured_seconds);
  for (double r : rates)
    o.samples.push_back(
        Sample{static_cast<double>(o.samples.size() + 1), 1.0, static_cast<std::uint64_t>(r), r});
  return o;
}

TEST(AppendSample, RecordsIntervalsAndSkipsReadingsThatDoNotAdvance) {
  std::vector<Sample> samples;
  double last_time = 0.0;
  std::uint64_t last_ops = 0;
  append_sample(samples, 1000, last_time, last_ops, 1.0);
  for (double stale : {1.0, 0.5, std::nan("")})
    append_sample(samples, 5000, last_time, last_ops, stale);
  EXPECT_EQ(last_time, 1.0);
  EXPECT_EQ(last_ops, 1000u);
  append_sample(samples, 2500, last_time, last_ops, 2.5);
  // The total fell behind the last reading: no steps, and the state follows.
  append_sample(samples, 2000, last_time, last_ops, 3.0);
  EXPECT_EQ(
      rows(samples),
      (std::vector<Row>{{1.0, 1.0, 1000, 1000.0}, {2.5, 1.5, 1500, 1000.0}, {3.0, 0.5, 0, 0.0}}));
  EXPECT_EQ(last_ops, 2000u);
}

TEST(FinishSamples, ClosesTheSeriesAtTheMeasuredEnd) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  const struct {
    const char* name;
    std::vector<Row> before;
    double measured_seconds;
    std::uint64_t operations;
    std::vector<Row> after;
  } cases[] = {
      {"empty, zero window", {}, 0.0, 0, {}},
      {"empty, one closing sample", {}, 2.0, 800, {{2.0, 2.0, 800, 400.0}}},
      {"remainder after the last reading",
       {{1.0, 1.0, 1000, 1000.0}, {2.0, 1.0, 1050, 1050.0}},
       2.5,
       2600,
       {{1.0, 1.0, 1000, 1000.0}, {2.0, 1.0, 1050, 1050.0}, {2.5, 0.5, 550, 1100.0}}},
      {"a reading exactly at the end is replaced",
       {{1.0, 1.0, 100, 100.0}, {2.0, 1.0, 100, 100.0}},
       2.0,
       240,
       {{1.0, 1.0, 100, 100.0}, {2.0, 1.0, 140, 140.0}}},
      {"readings beyond the end flow into the closing sample",
       {{1.0, 1.0, 100, 100.0}, {2.0, 1.0, 100, 100.0}, {3.0, 1.0, 100, 100.0}},
       1.5,
       320,
       {{1.0, 1.0, 100, 100.0}, {1.5, 0.5, 220, 440.0}}},
      {"monitor ahead of the final totals",
       {{1.0, 1.0, 1000, 1000.0}},
       1.25,
       992,
       {{1.0, 1.0, 1000, 1000.0}, {1.25, 0.25, 0, 0.0}}},
      {"the readings' sum wraps",
       {{1.0, 1.0, MAX, 1.0}, {2.0, 1.0, 2, 2.0}},
       3.0,
       5,
       {{1.0, 1.0, MAX, 1.0}, {2.0, 1.0, 2, 2.0}, {3.0, 1.0, 4, 4.0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o;
    o.samples = samples_of(c.before);
    o.measured_seconds = c.measured_seconds;
    o.operations = c.operations;
    finish_samples(o);
    EXPECT_EQ(rows(o.samples), c.after);
  }
}

TEST(FinishResult, WeightsTheVarianceAroundTheWindowRate) {
  const struct {
    std::vector<double> rates;
    double cv_percent;
    bool unstable;
  } cases[] = {
      {{900, 1100, 1000}, 8.16496580927726, false},
      {{800, 1200, 1000}, 16.32993161855452, true},
      {{1000, 1000, 1000}, 0.0, false},
      {{899, 1101}, 10.1, true},
  };
  for (const auto& c : cases) {
    Outcome o = one_second_samples(c.rates);
    finish_result(o, false, false);
    EXPECT_EQ(o.status, STATUS_COMPLETED);
    EXPECT_TRUE(o.reason.empty());
    EXPECT_EQ(o.mean_rate, 1000.0);
    EXPECT_NEAR(o.cv_percent.value(), c.cv_percent, 1e-9);
    EXPECT_EQ(o.unstable, c.unstable);
  }
}

TEST(FinishResult, ExactlyTheThresholdAndNotANumberAreStable) {
  // sqrt(10000) / 1000 * 100 is exactly 10.0 in binary arithmetic.
  Outcome at_threshold = one_second_samples({900, 1100});
  finish_result(at_threshold, false, false);
  EXPECT_EQ(at_threshold.cv_percent, UNSTABLE_CV_PERCENT);
  EXPECT_FALSE(at_threshold.unstable);

  Outcome nan = one_second_samples({1000, 1000});
  nan.samples[1].rate = std::nan("");
  finish_result(nan, false, false);
  EXPECT_TRUE(std::isnan(nan.cv_percent.value()));
  EXPECT_FALSE(nan.unstable);
}

TEST(FinishResult, ClosingSampleCountsForItsShareOfTime) {
  Outcome o;
  o.measured_seconds = 2.5;
  o.operations = 2600;
  o.samples = samples_of({{1.0, 1.0, 1000, 1000.0}, {2.0, 1.0, 1050, 1050.0}});
  finish_samples(o);
  finish_result(o, false, false);
  EXPECT_EQ(o.mean_rate, 1040.0);
  // sqrt((40^2 + 10^2 + 0.5 * 60^2) / 2.5) / 1040 * 100 = 3.598 %
  EXPECT_NEAR(o.cv_percent.value(), std::sqrt(1400.0) / 10.4, 1e-12);
  EXPECT_FALSE(o.unstable);
}

TEST(FinishResult, OneSampleGivesARateButNoVariation) {
  Outcome o = one_second_samples({1000});
  finish_result(o, false, false);
  EXPECT_EQ(o.mean_rate, 1000.0);
  EXPECT_FALSE(o.cv_percent.has_value());
  EXPECT_FALSE(o.unstable);
}

TEST(FinishResult, FailuresTakePrecedenceInOrder) {
  const struct {
    bool panicked, cancelled;
    std::uint64_t operations;
    double measured_seconds;
    std::uint32_t status;
    std::string_view reason;
  } cases[] = {
      {true, true, 800, 1.0, STATUS_FAILED, reasons::WORKER_PANICKED},
      {true, false, 0, 0.0, STATUS_FAILED, reasons::WORKER_PANICKED},
      {false, true, 800, 1.0, STATUS_CANCELLED, reasons::CANCELLED},
      {false, true, 0, 0.0, STATUS_CANCELLED, reasons::CANCELLED},
      {false, false, 0, 1.0, STATUS_FAILED, reasons::TOO_SHORT},
      {false, false, 800, 0.0, STATUS_FAILED, reasons::TOO_SHORT},
      {false, false, 800, std::nan(""), STATUS_FAILED, reasons::TOO_SHORT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.reason << " " << c.operations << " " << c.measured_seconds);
    Outcome o = one_second_samples({800, 1200});
    o.operations = c.operations;
    o.measured_seconds = c.measured_seconds;
    finish_result(o, c.panicked, c.cancelled);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.reason, c.reason);
    EXPECT_FALSE(o.mean_rate || o.cv_percent || o.unstable);
  }
}

}  // namespace
}  // namespace tarnwick
