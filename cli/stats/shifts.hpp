// What a series' change points mean to its users: shifts and episodes.
//
// Change points cut a series where its level moved; a slow drift is cut
// into many small steps and a short regression is often missed (a split
// statistic needs runs on both sides). Users ask two questions instead:
// "did it move for good, and by how much in all?" (a shift: the steps of one
// movement, with the level before the first and after the last) and "was
// there a bad patch that came back?" (an episode: a few runs away from the
// level around them). Pure functions; no state.
#pragma once

#include <cstddef>
#include <vector>

#include "change_points.hpp"

namespace tarnwick {

// Two steps the same way are one shift when the level between them was no
// level: it held for at most SHIFT_GAP runs, or its runs still moved the
// same way (Kendall's trend test, one-sided, z beyond SHIFT_TREND_Z). A
// 10 % drift over 100 runs at 1 to 2 % run spread is cut into steps 6 to 35
// runs apart (the seeded simulations of the tests); a stretch that short is
// too short to show a trend at that spread, while a longer one inside a
// drift shows it plainly. A flat level between two steps is a level of its
// own: the steps are two shifts, each judged alone.
inline constexpr std::size_t SHIFT_GAP = 30;
inline constexpr double SHIFT_TREND_Z = 1.645;
// The trend test looks at the latest this many runs of a longer stretch.
inline constexpr std::size_t SHIFT_TREND_RUNS = 200;

// An episode lasts this many runs at least and at most: from 4 runs, since
// three bad nights in a row is still noise's (or a neighbour's) doing often
// enough, to 10, beyond which its two ends are lasting changes that the
// change points find on their own.
inline constexpr std::size_t EPISODE_MIN_RUNS = 4;
inline constexpr std::size_t EPISODE_MAX_RUNS = 10;
// The runs around an episode it is judged against: up to this many either
// side, and at least EPISODE_SIDE_RUNS after it, so that it is known to have
// come back, and before it.
inline constexpr std::size_t EPISODE_CONTEXT_RUNS = 20;
inline constexpr std::size_t EPISODE_SIDE_RUNS = 5;
// Every run of an episode lies beyond the 5 to 95 % range of the runs
// before it, and of those after it (each side alone: a lasting step beside
// it is no episode)...
inline constexpr double EPISODE_TAIL = 0.05;
// ...and its middle run (of an even count, the one nearer the level around)
// this many robust standard deviations (1.4826 MAD, each side about its own
// median) from both sides' medians: four runs in a row in the tail of pure
// noise happen about once in a hundred series of 80, but rarely this far
// out, and two wild runs cannot carry two ordinary ones with them.
inline constexpr double EPISODE_SIGMAS = 3;

// One movement of the level: consecutive steps the same way, at most
// SHIFT_GAP runs apart.
struct Shift {
  std::size_t first = 0;                     // the first run after the first step
  std::size_t last = 0;                      // the first run after the last step
  double level_before = 0, level_after = 0;  // medians, as the steps give them
  double change_percent = 0;                 // 100 x (after / before - 1)
  std::vector<Change> steps;                 // in order
  // The series' last shift, its runs since the last step (at most
  // SHIFT_GAP of them) still moving its way by the trend test above: a
  // drift under way.
  bool ongoing = false;
};

// A stretch of runs away from the level around it, that came back.
struct Episode {
  std::size_t begin = 0, end = 0;  // its runs are [begin, end)
  double level = 0;                // their median
  double level_around = 0;         // the median of the runs around it
  double change_percent = 0;       // 100 x (level / level_around - 1)
};

struct SeriesChanges {
  std::vector<Shift> shifts;      // in order
  std::vector<Episode> episodes;  // in order
};

// The shifts and episodes of `values`, given its changes (describe_changes'
// answer): a down-and-back pair of steps at most EPISODE_MAX_RUNS apart is an
// episode, not two shifts; stretches the change points missed are found by
// their runs' place among those around them. Every shift and episode is
// returned, large or not: the caller keeps those that matter.
[[nodiscard]] SeriesChanges shifts_and_episodes(const std::vector<double>& values,
                                                const std::vector<Change>& changes);

// The fewest runs a series needs to be judged at all: a change point needs
// `min_segment` runs on either side.
[[nodiscard]] constexpr std::size_t runs_needed(std::size_t min_segment) {
  return 2 * (min_segment < 2 ? 2 : min_segment);
}

}  // namespace tarnwick
