#include "stats/shifts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

namespace tarnwick {
namespace {

// Runs whose true level is `level(i)`, with a normal spread.
std::vector<double> planted(unsigned seed, std::size_t count, double spread,
                            const std::function<double(std::size_t)>& level) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> noise(0, spread);
  std::vector<double> values;
  for (std::size_t i = 0; i < count; ++i) values.push_back(1e9 * level(i) * (1 + noise(generator)));
  return values;
}

SeriesChanges analysed(const std::vector<double>& values) {
  return shifts_and_episodes(values, describe_changes(values, change_points(values)));
}

std::vector<Shift> shifts_of(const SeriesChanges& found, double percent) {
  std::vector<Shift> kept;
  for (const Shift& shift : found.shifts) {
    if (std::fabs(shift.change_percent) >= percent) kept.push_back(shift);
  }
  return kept;
}

std::vector<Episode> episodes_of(const SeriesChanges& found, double percent) {
  std::vector<Episode> kept;
  for (const Episode& episode : found.episodes) {
    if (std::fabs(episode.change_percent) >= percent) kept.push_back(episode);
  }
  return kept;
}

Change step(std::size_t index, double before, double after) {
  return {index, 0.001, before, after, 100 * (after / before - 1)};
}

TEST(Shifts, StepsGroupWhenTheLevelBetweenWasNoLevel) {
  // Flat runs at the steps' levels: no runs move between them.
  struct Case {
    const char* what;
    std::vector<Change> steps;
    std::size_t shifts, episodes;
    double first_total;
  };
  const Case cases[] = {
      {"two drops 15 runs apart", {step(20, 100, 95), step(35, 95, 90)}, 1, 0, -10},
      {"two drops 31 runs apart, flat between", {step(20, 100, 95), step(51, 95, 90)}, 2, 0, -5},
      {"a drop and a rise 15 runs apart", {step(20, 100, 95), step(35, 95, 100)}, 2, 0, -5},
      {"a drop undone 8 runs later", {step(20, 100, 90), step(28, 90, 100)}, 0, 1, 0},
      // Not undone: two shifts; its 8 runs still lie below both sides.
      {"a drop half undone 8 runs later", {step(20, 100, 90), step(28, 90, 94)}, 2, 1, -10},
      {"a drop, a dip, a drop",
       {step(20, 100, 95), step(30, 95, 85), step(36, 85, 95), step(45, 95, 90)},
       1,
       1,
       -10},
  };
  for (const Case& c : cases) {
    std::vector<double> values(80);
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = c.steps.front().median_before;
      for (const Change& s : c.steps) {
        if (i >= s.index) values[i] = s.median_after;
      }
    }
    const SeriesChanges found = shifts_and_episodes(values, c.steps);
    EXPECT_EQ(found.shifts.size(), c.shifts) << c.what;
    EXPECT_EQ(found.episodes.size(), c.episodes) << c.what;
    if (c.shifts > 0 && !found.shifts.empty()) {
      EXPECT_NEAR(found.shifts[0].change_percent, c.first_total, 1e-9) << c.what;
      EXPECT_EQ(found.shifts[0].first, c.steps.front().index) << c.what;
    }
  }
}

TEST(Shifts, AFarStepStillMovingJoinsTheShift) {
  // Steps 40 runs apart, the runs between them sliding the same way.
  std::vector<double> values;
  for (std::size_t i = 0; i < 100; ++i) {
    values.push_back(i < 20 ? 100 : i < 60 ? 98 - 0.1 * static_cast<double>(i - 20) : 90);
  }
  const SeriesChanges found = shifts_and_episodes(values, {step(20, 100, 96), step(60, 96, 90)});
  ASSERT_EQ(found.shifts.size(), 1u);
  EXPECT_EQ(found.shifts[0].last, 60u);
  EXPECT_EQ(found.shifts[0].steps.size(), 2u);
  EXPECT_NEAR(found.shifts[0].change_percent, -10, 1e-9);
}

TEST(Episodes, AStretchNeedsFourRunsAndAReturn) {
  const auto with_dip = [](std::size_t begin, std::size_t runs, std::size_t count) {
    std::vector<double> values;
    for (std::size_t i = 0; i < count; ++i) {
      const double wobble = 1 + 0.001 * static_cast<double>(i % 5);  // a spread to judge by
      values.push_back((i >= begin && i < begin + runs ? 80 : 100) * wobble);
    }
    return values;
  };
  struct Case {
    std::size_t begin, runs, count, episodes;
  };
  const Case cases[] = {
      {30, 4, 60, 1},                   // four runs down, then back
      {30, 3, 60, 0},                   // three are not enough
      {30, 10, 60, 1}, {52, 4, 60, 0},  // four runs down at the end, no return seen yet
      {2, 5, 60, 0},                    // too early to know the level before
  };
  for (const Case& c : cases) {
    const SeriesChanges found = shifts_and_episodes(with_dip(c.begin, c.runs, c.count), {});
    ASSERT_EQ(found.episodes.size(), c.episodes) << c.begin << " " << c.runs;
    if (c.episodes == 1) {
      EXPECT_EQ(found.episodes[0].begin, c.begin);
      EXPECT_EQ(found.episodes[0].end, c.begin + c.runs);
      EXPECT_NEAR(found.episodes[0].change_percent, -20, 0.5);
    }
  }
}

// The targets, on seeded simulations with planted truth.

TEST(ShiftsSimulation, ATenPercentDriftIsOneShift) {
  // 40 flat runs, 10 % lost over 100 runs, 40 flat; 1 % run spread.
  int right = 0;
  for (unsigned seed = 1; seed <= 50; ++seed) {
    const auto values = planted(seed, 180, 0.01, [](std::size_t i) {
      return i < 40 ? 1.0 : i < 140 ? 1 - 0.1 * static_cast<double>(i - 39) / 100 : 0.9;
    });
    const SeriesChanges found = analysed(values);
    const auto shifts = shifts_of(found, 2);
    if (shifts.size() == 1 && episodes_of(found, 2).empty() && shifts[0].change_percent <= -8 &&
        shifts[0].change_percent >= -12) {
      ++right;
    }
  }
  EXPECT_GE(right, 45);
}

TEST(ShiftsSimulation, QuietSeriesStayQuietAndStepsAreFoundWhereTheyAre) {
  // 80 runs at a 2 % spread.
  int alarms = 0;
  for (unsigned seed = 1; seed <= 100; ++seed) {
    const SeriesChanges found = analysed(planted(seed, 80, 0.02, [](std::size_t) { return 1.0; }));
    if (!shifts_of(found, 3).empty() || !episodes_of(found, 3).empty()) ++alarms;
  }
  EXPECT_LE(alarms, 1);

  for (const double size : {-0.06, 0.06}) {
    int found_near = 0, extra = 0;
    for (unsigned seed = 1; seed <= 100; ++seed) {
      const auto found = analysed(
          planted(seed, 80, 0.02, [&](std::size_t i) { return i >= 50 ? 1 + size : 1.0; }));
      const auto shifts = shifts_of(found, 3);
      for (const Shift& shift : shifts) {
        const bool near = std::labs(static_cast<long>(shift.first) - 50) <= 3 &&
                          std::labs(static_cast<long>(shift.last) - 50) <= 3;
        if (near && std::signbit(shift.change_percent) == std::signbit(size)) ++found_near;
      }
      if (shifts.size() + episodes_of(found, 3).size() > 1) ++extra;
    }
    EXPECT_EQ(found_near, 100) << size;
    EXPECT_LE(extra, 1) << size;
  }
}

TEST(ShiftsSimulation, ListedSizesStayNearTheTruth) {
  // README's figures: a 3 % drop at 2 % spread is listed between -2.0 and
  // -5.0 %; a 6 % one between -4.5 and -7.5 %.
  for (const auto& [size, low, high] : {std::tuple{-0.03, -5.0, -2.0}, {-0.06, -7.5, -4.5}}) {
    int found = 0, inside = 0;
    const double drop = size;  // a lambda may not capture a structured binding in clang 14
    for (unsigned seed = 1; seed <= 100; ++seed) {
      const auto shifts =
          shifts_of(analysed(planted(seed, 80, 0.02,
                                     [&](std::size_t i) { return i >= 50 ? 1 + drop : 1.0; })),
                    0);
      for (const Shift& shift : shifts) {
        if (shift.first > 55 || shift.last + 5 < 50) continue;
        ++found;
        if (shift.change_percent >= low && shift.change_percent <= high) ++inside;
        break;
      }
    }
    EXPECT_GE(found, 90) << size;
    EXPECT_GE(inside, found - 3) << size;
  }
}

TEST(EpisodesSimulation, ShortDipsAreFoundAndSpikesAreNot) {
  // At 1 % spread: an 8 % dip of 5 runs at run 40 of 80.
  int found = 0;
  for (unsigned seed = 1; seed <= 100; ++seed) {
    const auto values =
        planted(seed, 80, 0.01, [](std::size_t i) { return i >= 40 && i < 45 ? 0.92 : 1.0; });
    const SeriesChanges changes = analysed(values);
    for (const Episode& episode : episodes_of(changes, 2)) {
      if (episode.change_percent < 0 && episode.begin <= 41 && episode.end >= 44) ++found;
    }
    EXPECT_TRUE(shifts_of(changes, 2).empty()) << seed;
  }
  EXPECT_GE(found, 90);

  // One- and two-run spikes of 30 % either way: never an episode.
  int spikes = 0;
  for (unsigned seed = 1; seed <= 100; ++seed) {
    const auto values = planted(seed, 80, 0.01, [](std::size_t i) {
      return i == 20 ? 0.7 : i == 40 || i == 41 ? 0.7 : i == 60 || i == 61 ? 1.3 : 1.0;
    });
    if (!episodes_of(analysed(values), 2).empty()) ++spikes;
  }
  EXPECT_LE(spikes, 1);
}

TEST(EpisodesSimulation, TwoLevelsAtRandomAreNeitherEpisodesNorShifts) {
  // Half the runs 10 % slower at random (two kinds of machine behind one
  // name, say): nothing lasting, nothing that comes back.
  int quiet = 0;
  for (unsigned seed = 1; seed <= 100; ++seed) {
    std::mt19937_64 coin(seed + 1000);
    std::vector<bool> slow;
    slow.reserve(80);
    for (int i = 0; i < 80; ++i) slow.push_back(coin() % 2 == 0);
    const SeriesChanges found =
        analysed(planted(seed, 80, 0.01, [&](std::size_t i) { return slow[i] ? 0.9 : 1.0; }));
    if (shifts_of(found, 2).empty() && episodes_of(found, 2).empty()) ++quiet;
  }
  EXPECT_GE(quiet, 95);
}

}  // namespace
}  // namespace tarnwick
