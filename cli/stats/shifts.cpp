#include "shifts.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "robust.hpp"

namespace tarnwick {
namespace {

// A stretch of runs found one way or the other, before its figures.
struct Stretch {
  std::size_t begin, end;
  int direction;  // -1 below the runs around it, +1 above
};

// The runs around [begin, end): up to EPISODE_CONTEXT_RUNS either side.
std::vector<double> around(const std::vector<double>& values, std::size_t begin, std::size_t end) {
  const std::size_t from = begin > EPISODE_CONTEXT_RUNS ? begin - EPISODE_CONTEXT_RUNS : 0;
  const std::size_t to = std::min(values.size(), end + EPISODE_CONTEXT_RUNS);
  std::vector<double> context(values.data() + from, values.data() + begin);
  context.insert(context.end(), values.data() + end, values.data() + to);
  return context;
}

// The middle run of [begin, end), of an even count the middle one nearer
// the level around: two wild runs cannot carry two ordinary ones with them.
double inner_middle(const std::vector<double>& values, std::size_t begin, std::size_t end,
                    int direction) {
  std::vector<double> runs(values.data() + begin, values.data() + end);
  const std::size_t at = direction < 0 ? runs.size() / 2 : (runs.size() - 1) / 2;
  std::nth_element(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(at), runs.end());
  return runs[at];
}

// Whether every run of a stretch lies beyond `bound` in the tail of the
// runs [from, to) on one side of it: at most EPISODE_TAIL of them lie at or
// beyond it (below for a dip, above for a rise). Stops counting as soon as
// the answer is no, which for ordinary runs is after a few.
bool in_the_tail(const std::vector<double>& values, std::size_t from, std::size_t to, double bound,
                 int direction) {
  const auto allowed =
      static_cast<std::size_t>(std::floor(EPISODE_TAIL * static_cast<double>(to - from)));
  std::size_t beyond = 0;
  for (std::size_t i = from; i < to; ++i) {
    const bool past = direction < 0 ? values[i] <= bound : values[i] >= bound;
    if (past && ++beyond > allowed) return false;
  }
  return true;
}

// The runs of [from, to) less their median, and that median.
double centred(const std::vector<double>& values, std::size_t from, std::size_t to,
               std::vector<double>& residuals) {
  const double centre = median_of(values, from, to);
  for (std::size_t i = from; i < to; ++i) residuals.push_back(values[i] - centre);
  return centre;
}

// Every window of EPISODE_MIN_RUNS to EPISODE_MAX_RUNS runs, with enough
// runs on either side, whose runs all lie in one tail of the runs before it
// and of those after it (each side on its own, so that a lasting step just
// before or after the window is no episode), and whose middle run is far
// from both sides' medians.
std::vector<Stretch> tail_stretches(const std::vector<double>& values) {
  std::vector<Stretch> found;
  const std::size_t n = values.size();
  std::vector<double> residuals;
  for (std::size_t begin = EPISODE_SIDE_RUNS; begin < n; ++begin) {
    const std::size_t from = begin > EPISODE_CONTEXT_RUNS ? begin - EPISODE_CONTEXT_RUNS : 0;
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::size_t end = begin + 1;
         end - begin <= EPISODE_MAX_RUNS && end + EPISODE_SIDE_RUNS <= n; ++end) {
      low = std::min(low, values[end - 1]);
      high = std::max(high, values[end - 1]);
      if (end - begin < EPISODE_MIN_RUNS) continue;
      const std::size_t to = std::min(n, end + EPISODE_CONTEXT_RUNS);
      int direction = 0;
      if (in_the_tail(values, from, begin, high, -1) && in_the_tail(values, end, to, high, -1))
        direction = -1;
      else if (in_the_tail(values, from, begin, low, +1) && in_the_tail(values, end, to, low, +1))
        direction = +1;
      if (direction == 0) continue;
      // The spread of the runs around, each side about its own median.
      residuals.clear();
      const double before = centred(values, from, begin, residuals);
      const double after = centred(values, end, to, residuals);
      const double scale = 1.4826 * median_absolute_deviation(residuals);
      const double middle = inner_middle(values, begin, end, direction);
      const double distance = std::min((middle - before) * direction, (middle - after) * direction);
      if (distance > 0 && distance >= EPISODE_SIGMAS * scale) {
        found.push_back({begin, end, direction});
      }
    }
  }
  return found;
}

// Overlapping or touching stretches the same way are one.
std::vector<Stretch> merged(std::vector<Stretch> stretches) {
  std::sort(stretches.begin(), stretches.end(), [](const Stretch& a, const Stretch& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.end > b.end;
  });
  std::vector<Stretch> out;
  for (const Stretch& stretch : stretches) {
    if (!out.empty() && out.back().direction == stretch.direction &&
        stretch.begin <= out.back().end) {
      out.back().end = std::max(out.back().end, stretch.end);
    } else {
      out.push_back(stretch);
    }
  }
  return out;
}

// Whether the runs of [begin, end) still move `direction`'s way: Kendall's
// trend statistic (Mann and Kendall) beyond its one-sided 5 % point.
bool still_moving(const std::vector<double>& values, std::size_t begin, std::size_t end,
                  int direction) {
  // The latest runs of a long stretch say whether it still moves, and keep
  // the count of pairs bounded.
  begin = std::max(begin, end > SHIFT_TREND_RUNS ? end - SHIFT_TREND_RUNS : 0);
  const std::size_t n = end - begin;
  if (n < 3) return false;
  double s = 0;
  for (std::size_t i = begin; i < end; ++i) {
    for (std::size_t j = i + 1; j < end; ++j) {
      s += (values[j] > values[i]) - (values[j] < values[i]);
    }
  }
  const auto count = static_cast<double>(n);
  const double variance = count * (count - 1) * (2 * count + 5) / 18;
  return direction * s / std::sqrt(variance) >= SHIFT_TREND_Z;
}

bool same_way(const Change& a, const Change& b) {
  return std::signbit(a.change_percent) == std::signbit(b.change_percent);
}

}  // namespace

SeriesChanges shifts_and_episodes(const std::vector<double>& values,
                                  const std::vector<Change>& changes) {
  SeriesChanges out;
  std::vector<Stretch> stretches = tail_stretches(values);

  // A step and its undoing, close together: the level went and came back.
  std::vector<Change> steps;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const Change& step = changes[i];
    if (!std::isfinite(step.change_percent)) continue;
    if (i + 1 < changes.size()) {
      const Change& back = changes[i + 1];
      const double went = step.median_after - step.median_before;
      if (std::isfinite(back.change_percent) && !same_way(step, back) &&
          back.index - step.index <= EPISODE_MAX_RUNS &&
          std::fabs(back.median_after - step.median_before) <= 0.5 * std::fabs(went)) {
        stretches.push_back({step.index, back.index, went < 0 ? -1 : +1});
        ++i;
        continue;
      }
    }
    steps.push_back(step);
  }

  for (const Stretch& stretch : merged(std::move(stretches))) {
    Episode episode;
    episode.begin = stretch.begin;
    episode.end = stretch.end;
    episode.level = median_of(values, stretch.begin, stretch.end);
    episode.level_around = median(around(values, stretch.begin, stretch.end));
    episode.change_percent = 100 * (episode.level / episode.level_around - 1);
    out.episodes.push_back(episode);
  }

  for (const Change& step : steps) {
    if (!out.shifts.empty()) {
      Shift& shift = out.shifts.back();
      const int direction = step.change_percent < 0 ? -1 : +1;
      if (same_way(shift.steps.back(), step) &&
          (step.index - shift.last <= SHIFT_GAP ||
           still_moving(values, shift.last, step.index, direction))) {
        shift.last = step.index;
        shift.level_after = step.median_after;
        shift.steps.push_back(step);
        shift.change_percent = 100 * (shift.level_after / shift.level_before - 1);
        continue;
      }
    }
    out.shifts.push_back({step.index,
                          step.index,
                          step.median_before,
                          step.median_after,
                          step.change_percent,
                          {step},
                          false});
  }
  // A drift still under way ends in a stretch too short to split again: the
  // last shift goes on while the runs after its last step still move its way.
  // Only while that stretch is short enough to be no level yet: a long flat
  // stretch always shows some slow wander, and an old step would fail
  // --fail-on-change again on it.
  if (!out.shifts.empty() && values.size() - out.shifts.back().last <= SHIFT_GAP) {
    Shift& shift = out.shifts.back();
    shift.ongoing =
        still_moving(values, shift.last, values.size(), shift.change_percent < 0 ? -1 : +1);
  }
  return out;
}

}  // namespace tarnwick
