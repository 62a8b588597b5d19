// Change points: where a series of results shifted for good, found by
// E-divisive means (Matteson and James's energy statistic with exponent 1,
// each split's right end fixed at its segment's end, as performance CI
// systems use it) with a permutation test for each split.
//
// Why this method: it assumes no distribution (rates are skewed and carry
// outliers), finds several changes by splitting recursively, and its
// permutation test gives a p-value that holds for short series, where an
// asymptotic test would not. The test is seeded, so the same series always
// gives the same answer, whatever order or thread it is examined in.
//
// Cost: the statistic for every split of n values takes O(n log n) (a
// Fenwick tree over the values' ranks gives each value's distance to those
// before it), and a permutation test stops as soon as its p-value can no
// longer fall below the threshold, which for a quiet series is after a few
// dozen permutations. Pure functions; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

struct ChangePointOptions {
  // Neither side of a split is shorter than this; at least 2.
  std::size_t min_segment = 5;
  // A split counts when its permutation p-value is below this.
  double alpha = 0.01;
  // At most this many permutations per split: 999 resolves p-values down
  // to 0.001.
  std::size_t permutations = 999;
  std::uint64_t seed = 0x74726e77'63686e67;  // fixed: the same series, the same answer
};

struct ChangePoint {
  std::size_t index = 0;  // the position of the first value after the change
  double p_value = 1;
};

// The significant changes of `values`, by position. Values that are not
// finite are the caller's to leave out; a series shorter than two minimum
// segments has none.
[[nodiscard]] std::vector<ChangePoint> change_points(const std::vector<double>& values,
                                                     const ChangePointOptions& options = {});

// A change point with the level on either side of it: the medians of the
// segments between it and its neighbouring change points (or the series'
// ends).
struct Change {
  std::size_t index = 0;
  double p_value = 1;
  double median_before = 0, median_after = 0;
  double change_percent = 0;  // 100 x (after / before - 1)
};

// Every change point of `values` described, in order; the caller keeps
// those large enough to matter (a significant shift of 0.3 % is real, and
// still splits the series, but is nobody's regression).
[[nodiscard]] std::vector<Change> describe_changes(const std::vector<double>& values,
                                                   const std::vector<ChangePoint>& points);

// The energy statistic of splitting `values` before each position: element
// t is the statistic of the split into [0, t) and [t, n); 0 where a side
// would be shorter than `min_segment`. Exposed for testing against the
// definition.
[[nodiscard]] std::vector<double> split_statistics(const std::vector<double>& values,
                                                   std::size_t min_segment);

}  // namespace tarnwick
