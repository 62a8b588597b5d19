#include "stats/precision.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace tarnwick {
namespace {

TEST(PrecisionState, FirstStageFixesTheRunsAndTheInterval) {
  // Logs 0, ±0.01, ±0.02 around log 1000: mean log 0, s0 = sqrt(2.5e-4).
  // t(4, 0.975) = 2.776445; d = log(1.01) = 0.0099503;
  // N = ceil((2.776445 x 0.0158114 / 0.0099503)^2) = ceil(19.46) = 20.
  std::vector<double> rates;
  for (const double log : {0.0, 0.01, -0.01, 0.02, -0.02}) rates.push_back(1000 * std::exp(log));
  auto state = precision_state(rates, 0.01);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->runs, 5u);
  EXPECT_NEAR(state->geometric_mean, 1000, 1e-9);
  EXPECT_EQ(state->runs_needed, 20u);
  EXPECT_FALSE(state->reached);
  // h = 2.776445 x 0.0158114 / sqrt(5) = 0.0196323.
  EXPECT_NEAR(*state->half_width, std::expm1(0.0196323), 1e-6);
  EXPECT_NEAR(*state->low, 1000 * std::exp(-0.0196323), 1e-3);

  // Later runs move the mean, not N: the rule looks at the first stage only.
  for (int i = 0; i < 14; ++i) rates.push_back(1000 * std::exp(i % 2 == 0 ? 0.05 : -0.05));
  state = precision_state(rates, 0.01);
  EXPECT_EQ(state->runs_needed, 20u);
  EXPECT_FALSE(state->reached);
  rates.push_back(1000);
  state = precision_state(rates, 0.01);
  EXPECT_TRUE(state->reached);
  EXPECT_LE(*state->half_width, 0.01);
  EXPECT_NEAR(*state->half_width, std::expm1(2.776445 * std::sqrt(2.5e-4) / std::sqrt(20.0)), 1e-6);
}

TEST(PrecisionState, EdgesOfTheRule) {
  // Identical runs: no spread, the first stage is enough.
  const auto same = precision_state(std::vector<double>(5, 250.0), 0.005);
  ASSERT_TRUE(same);
  EXPECT_TRUE(same->reached);
  EXPECT_EQ(same->runs_needed, 5u);
  EXPECT_EQ(*same->half_width, 0.0);
  // Below the first stage: a plain t interval, never reached. Two logs
  // ±0.01: s = 0.0141421, t(1) = 12.7062, h = 0.127062.
  const auto two = precision_state({1000 * std::exp(0.01), 1000 * std::exp(-0.01)}, 0.5);
  ASSERT_TRUE(two);
  EXPECT_FALSE(two->reached);
  EXPECT_EQ(two->runs_needed, 0u);
  EXPECT_NEAR(*two->half_width, std::expm1(0.127062), 1e-5);
  // One rate, or rates that are not rates: an estimate at most.
  const auto one = precision_state({0.0, -3.0, std::nan(""), 400.0}, 0.01);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->runs, 1u);
  EXPECT_NEAR(one->geometric_mean, 400.0, 1e-9);
  EXPECT_FALSE(one->half_width);
  EXPECT_FALSE(precision_state({}, 0.01)->half_width);
  // Targets and levels outside (0, 1), and a first stage with no spread.
  const double nan = std::nan("");
  for (const double target : {0.0, -0.01, 1.0, nan}) EXPECT_FALSE(precision_state({1, 2}, target));
  EXPECT_FALSE(precision_state({1, 2}, 0.01, 1.0));
  EXPECT_FALSE(precision_state({1, 2}, 0.01, 0.95, 1));
}

// Planted runs: a run's rate is the mean of SECONDS per-second rates that
// move together (AR(1), correlation PHI from one second to the next) around
// the run's own level, and the levels vary from run to run; the two parts
// together give the log run rates a standard deviation of `spread`. Runs are
// interchangeable, so the truth is their geometric mean, exp(E log rate),
// found from a large sample.
constexpr int SECONDS = 8;
constexpr double PHI = 0.7;

class PlantedRuns {
 public:
  explicit PlantedRuns(double spread) {
    // Variance of the mean of SECONDS AR(1) values of variance 1.
    double sum = 1;
    for (int lag = 1; lag < SECONDS; ++lag) {
      sum += 2 * (1 - static_cast<double>(lag) / SECONDS) * std::pow(PHI, lag);
    }
    const double within = sum / SECONDS;
    // Half the run-to-run variance from the seconds, half from the level.
    second_sd_ = spread * std::sqrt(0.5 / within);
    level_sd_ = spread * std::sqrt(0.5);
  }

  double next(std::mt19937_64& random) {
    const double level = 1e6 * std::exp(level_sd_ * normal_(random));
    double noise = second_sd_ * normal_(random);
    double sum = 0;
    for (int second = 0; second < SECONDS; ++second) {
      sum += level * (1 + noise);
      noise = PHI * noise + std::sqrt(1 - PHI * PHI) * second_sd_ * normal_(random);
    }
    return sum / SECONDS;
  }

 private:
  double second_sd_ = 0;
  double level_sd_ = 0;
  std::normal_distribution<double> normal_;
};

struct Truth {
  double geometric_mean = 0;
  double log_deviation = 0;
};

Truth truth_of(double spread) {
  std::mt19937_64 random(99);
  PlantedRuns runs(spread);
  constexpr int COUNT = 200'000;
  double sum = 0;
  double squares = 0;
  for (int i = 0; i < COUNT; ++i) {
    const double log = std::log(runs.next(random));
    sum += log;
    squares += log * log;
  }
  const double mean = sum / COUNT;
  return {std::exp(mean), std::sqrt(squares / COUNT - mean * mean)};
}

struct Cell {
  double coverage = 0;
  double mean_runs = 0;
};

// Runs each sequence as the program does: a run, then the rule's state,
// until it is reached. The state is only asked for when it can change its
// answer (in the first stage, and once the N it fixed is in), which gives
// the same stops in a fraction of the time.
Cell simulate(double spread, double target, double truth, int sequences, uint64_t seed) {
  std::mt19937_64 random(seed);
  PlantedRuns planted(spread);
  int covered = 0;
  double runs = 0;
  for (int sequence = 0; sequence < sequences; ++sequence) {
    std::vector<double> rates;
    std::optional<PrecisionState> state;
    do {
      rates.push_back(planted.next(random));
      if (state && state->runs_needed > rates.size()) continue;
      state = precision_state(rates, target);
    } while (!state->reached);
    EXPECT_LE(*state->half_width, target * (1 + 1e-12));
    covered += *state->low <= truth && truth <= *state->high ? 1 : 0;
    runs += static_cast<double>(rates.size());
  }
  return {static_cast<double>(covered) / sequences, runs / sequences};
}

TEST(PrecisionSimulation, CoversThePlantedGeometricMeanInEveryCell) {
  constexpr int SEQUENCES = 2000;
  std::printf("%8s %8s %9s %10s %10s\n", "spread", "target", "coverage", "mean runs", "fixed n");
  uint64_t seed = 1;
  for (const double spread : {0.005, 0.01, 0.02, 0.05}) {
    const Truth truth = truth_of(spread);
    for (const double target : {0.005, 0.01, 0.02}) {
      const Cell cell = simulate(spread, target, truth.geometric_mean, SEQUENCES, ++seed);
      // The runs a fixed count would need if the spread were known.
      const double fixed = std::pow(1.959964 * truth.log_deviation / std::log1p(target), 2);
      std::printf("%7.1f%% %7.1f%% %8.1f%% %10.1f %10.1f\n", spread * 100, target * 100,
                  cell.coverage * 100, cell.mean_runs, fixed);
      EXPECT_GE(cell.coverage, 0.93) << spread << " " << target;
      // The price of not knowing the spread: about t(4)^2 / z^2 = 2 times
      // the fixed count where that is well above the first stage.
      if (fixed > 20) {
        EXPECT_LT(cell.mean_runs, 2.4 * fixed) << spread << " " << target;
      }
    }
  }
}

// The simulation can tell a sound rule from an unsound one: stopping as
// soon as the plain t interval of three runs or more is narrow enough
// misses the truth far more often than 5 % of the time.
TEST(PrecisionSimulation, NaiveStoppingOnTheWidthUnderCovers) {
  constexpr int SEQUENCES = 2000;
  const double spread = 0.01;
  const double target = 0.01;
  const Truth truth = truth_of(spread);
  std::mt19937_64 random(7);
  PlantedRuns planted(spread);
  int covered = 0;
  for (int sequence = 0; sequence < SEQUENCES; ++sequence) {
    std::vector<double> rates;
    std::optional<PrecisionState> state;
    do {
      rates.push_back(planted.next(random));
      // A first stage as long as the sequence: the plain t interval.
      state = precision_state(rates, target, 0.95, rates.size() + 1);
    } while (rates.size() < 3 || *state->half_width > target);
    covered += *state->low <= truth.geometric_mean && truth.geometric_mean <= *state->high;
  }
  const double coverage = static_cast<double>(covered) / SEQUENCES;
  std::printf("naive stopping at +-1 %% on a 1 %% spread: coverage %.1f%%\n", coverage * 100);
  EXPECT_LT(coverage, 0.93);
}

}  // namespace
}  // namespace tarnwick
