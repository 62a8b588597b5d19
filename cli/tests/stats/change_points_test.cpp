#include "stats/change_points.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

namespace tarnwick {
namespace {

// The statistic straight from its definition, pair by pair.
double energy_by_definition(const std::vector<double>& values, std::size_t t) {
  const std::size_t n = values.size();
  double across = 0, left = 0, right = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const double d = std::fabs(values[i] - values[j]);
      if (j < t)
        left += d;
      else if (i >= t)
        right += d;
      else
        across += d;
    }
  }
  const double a = static_cast<double>(t), b = static_cast<double>(n - t);
  return a * b / static_cast<double>(n) *
         (2 * across / (a * b) - left / (a * (a - 1) / 2) - right / (b * (b - 1) / 2));
}

TEST(SplitStatistics, MatchesTheDefinitionForEverySplit) {
  const std::vector<std::vector<double>> series = {
      {1, 2, 3, 4, 5, 6, 7, 8},
      {5, 5, 5, 5, 9, 9, 9, 9, 9},
      {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7},
      {2, 2, 2, 2, 2, 2},
  };
  for (const auto& values : series) {
    for (const std::size_t min_segment : {std::size_t{2}, std::size_t{3}}) {
      const std::vector<double> q = split_statistics(values, min_segment);
      for (std::size_t t = 0; t < values.size(); ++t) {
        const bool allowed = t >= min_segment && values.size() - t >= min_segment;
        EXPECT_NEAR(q[t], allowed ? energy_by_definition(values, t) : 0, 1e-9)
            << "n=" << values.size() << " t=" << t << " min=" << min_segment;
      }
    }
  }
}

TEST(ChangePoints, ShortOrFlatSeriesHaveNone) {
  EXPECT_TRUE(change_points({}).empty());
  EXPECT_TRUE(change_points({1, 1, 1, 1, 1, 9, 9, 9, 9}).empty());  // under two segments of 5
  EXPECT_TRUE(change_points(std::vector<double>(40, 3.0)).empty());
}

TEST(ChangePoints, AnObviousStepIsFoundWithTheSmallestPValue) {
  std::vector<double> values(20, 100.0);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] += static_cast<double>(i % 3) * 0.1;
  for (std::size_t i = 12; i < values.size(); ++i) values[i] *= 0.9;
  const auto points = change_points(values);
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].index, 12u);
  EXPECT_DOUBLE_EQ(points[0].p_value, 0.001);  // no permutation of 999 reaches it
}

TEST(ChangePoints, SameSeriesSameAnswer) {
  std::mt19937_64 generator(7);
  std::normal_distribution<double> noise(0, 0.02);
  std::vector<double> values;
  values.reserve(60);
  for (int i = 0; i < 60; ++i) values.push_back((i < 30 ? 1.0 : 0.97) * (1 + noise(generator)));
  const auto first = change_points(values);
  const auto second = change_points(values);
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].index, second[i].index);
    EXPECT_EQ(first[i].p_value, second[i].p_value);
  }
  // Another seed is another set of permutations, not another answer.
  ChangePointOptions other;
  other.seed = 12345;
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(change_points(values, other).front().index, first.front().index);
}

TEST(DescribeChanges, MediansOfTheNeighbouringSegments) {
  // Levels 10, 20, 15 with the changes at 3 and 6.
  const std::vector<double> values = {9, 10, 11, 19, 20, 30, 15, 15, 14};
  const auto changes = describe_changes(values, {{3, 0.001}, {6, 0.002}});
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_DOUBLE_EQ(changes[0].median_before, 10);
  EXPECT_DOUBLE_EQ(changes[0].median_after, 20);
  EXPECT_DOUBLE_EQ(changes[0].change_percent, 100);
  EXPECT_DOUBLE_EQ(changes[1].median_before, 20);
  EXPECT_DOUBLE_EQ(changes[1].median_after, 15);
  EXPECT_DOUBLE_EQ(changes[1].change_percent, -25);
  EXPECT_DOUBLE_EQ(changes[1].p_value, 0.002);
}

// Seeded simulations with planted truth: 80 runs with a 2 % spread, as a
// quiet machine's history looks.
std::vector<double> simulated(unsigned seed, std::size_t step_at, double step) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> noise(0, 0.02);
  std::vector<double> values;
  for (std::size_t i = 0; i < 80; ++i) {
    values.push_back(1e9 * (i >= step_at ? 1 + step : 1.0) * (1 + noise(generator)));
  }
  return values;
}

std::vector<Change> large(const std::vector<double>& values, double percent) {
  std::vector<Change> kept;
  for (const Change& change : describe_changes(values, change_points(values))) {
    if (std::fabs(change.change_percent) >= percent) kept.push_back(change);
  }
  return kept;
}

TEST(ChangePointsSimulation, QuietSeriesStayQuiet) {
  int alarms = 0;
  for (unsigned seed = 1; seed <= 100; ++seed) {
    if (!large(simulated(seed, 80, 0), 3).empty()) ++alarms;
  }
  EXPECT_LE(alarms, 1);
}

TEST(ChangePointsSimulation, ASixPercentStepIsFoundWhereItIs) {
  for (const double step : {-0.06, 0.06}) {
    int missed = 0, misplaced = 0, extra = 0;
    for (unsigned seed = 1; seed <= 100; ++seed) {
      const auto found = large(simulated(seed, 50, step), 3);
      int near = 0;
      for (const Change& change : found) {
        const long delay = static_cast<long>(change.index) - 50;
        if (std::labs(delay) <= 3 && std::signbit(change.change_percent) == std::signbit(step)) {
          ++near;
        }
      }
      if (found.empty())
        ++missed;
      else if (near == 0)
        ++misplaced;
      if (found.size() > static_cast<std::size_t>(near)) ++extra;
    }
    EXPECT_EQ(missed, 0) << step;
    EXPECT_EQ(misplaced, 0) << step;
    EXPECT_LE(extra, 1) << step;
  }
}

}  // namespace
}  // namespace tarnwick
