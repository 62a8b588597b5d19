#include "change_points.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "robust.hpp"

namespace tarnwick {
namespace {

// splitmix64: small, fast, and the same on every platform and standard
// library (std::shuffle's algorithm is not), so p-values are reproducible.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound), without modulo bias.
  std::size_t below(std::size_t bound) {
    const std::uint64_t limit = static_cast<std::uint64_t>(bound);
    const std::uint64_t reject = (0 - limit) % limit;  // 2^64 mod bound
    std::uint64_t draw = next();
    while (draw < reject) draw = next();
    return static_cast<std::size_t>(draw % limit);
  }

 private:
  std::uint64_t state_;
};

// Counts and sums of the values added so far, by rank.
class Fenwick {
 public:
  explicit Fenwick(std::size_t size) : count_(size + 1, 0), sum_(size + 1, 0) {}
  void clear() {
    std::fill(count_.begin(), count_.end(), 0);
    std::fill(sum_.begin(), sum_.end(), 0);
  }
  void add(std::size_t rank, double value) {
    for (std::size_t i = rank + 1; i < count_.size(); i += i & (~i + 1)) {
      count_[i] += 1;
      sum_[i] += value;
    }
  }
  // The count and sum of the values of rank below `rank`.
  std::pair<std::size_t, double> below(std::size_t rank) const {
    std::size_t count = 0;
    double sum = 0;
    for (std::size_t i = rank; i > 0; i -= i & (~i + 1)) {
      count += count_[i];
      sum += sum_[i];
    }
    return {count, sum};
  }

 private:
  std::vector<std::size_t> count_;
  std::vector<double> sum_;
};

// One value of a segment with what the statistic needs of it whatever the
// order: its rank among the segment's values and its total distance to them.
struct Item {
  double value;
  std::size_t rank;
  double to_all;
};

std::vector<Item> items_of(const double* values, std::size_t n) {
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
  const double total = std::accumulate(values, values + n, 0.0);
  std::vector<Item> items(n);
  double below = 0;  // the sum of the values ranked before
  for (std::size_t rank = 0; rank < n; ++rank) {
    const std::size_t at = order[rank];
    const double value = values[at];
    const double above = total - below - value;
    const auto lower = static_cast<double>(rank);
    const auto upper = static_cast<double>(n - 1 - rank);
    items[at] = Item{value, rank, (value * lower - below) + (above - value * upper)};
    below += value;
  }
  return items;
}

// The statistic of each split of `items` in their order (0 where a side
// would be shorter than `min_segment`) into `out`, and the largest.
// Moving one item from the right side to the left changes the three sums
// of distances by its distance to the left side (`left`, from the tree)
// and to the rest of the right side (to_all - left).
std::pair<std::size_t, double> scan(const std::vector<Item>& items, std::size_t min_segment,
                                    Fenwick& tree, std::vector<double>* out) {
  const std::size_t n = items.size();
  tree.clear();
  double within_right = 0;
  for (const Item& item : items) within_right += item.to_all;
  within_right /= 2;
  double within_left = 0, across = 0;
  std::size_t added = 0;
  double added_sum = 0;
  std::pair<std::size_t, double> best{0, -1};
  for (std::size_t t = 0; t + min_segment <= n; ++t) {
    if (t >= min_segment) {
      const auto left = static_cast<double>(t);
      const auto right = static_cast<double>(n - t);
      const double q = left * right / static_cast<double>(n) *
                       (2 * across / (left * right) - 2 * within_left / (left * (left - 1)) -
                        2 * within_right / (right * (right - 1)));
      if (out != nullptr) (*out)[t] = q;
      if (q > best.second) best = {t, q};
    }
    const Item& item = items[t];
    const auto [count, sum] = tree.below(item.rank);
    const double to_left = (item.value * static_cast<double>(count) - sum) +
                           ((added_sum - sum) - item.value * static_cast<double>(added - count));
    within_left += to_left;
    within_right -= item.to_all - to_left;
    across += item.to_all - 2 * to_left;
    tree.add(item.rank, item.value);
    ++added;
    added_sum += item.value;
  }
  return best;
}

// The seed of one segment's test: a function of where the segment lies,
// not of when it is tested.
std::uint64_t segment_seed(std::uint64_t seed, std::size_t begin, std::size_t end) {
  Random mix(seed ^ (static_cast<std::uint64_t>(begin) << 32) ^ static_cast<std::uint64_t>(end));
  return mix.next();
}

// The best split of values[begin, end) and its permutation p-value.
ChangePoint test_segment(const std::vector<double>& values, std::size_t begin, std::size_t end,
                         const ChangePointOptions& options) {
  const std::size_t n = end - begin;
  // Scaled to the segment's median, so the sums stay near 1 whatever the
  // unit of the rates, and rounding cannot decide a comparison.
  std::vector<double> scaled(values.data() + begin, values.data() + end);
  const double centre = std::fabs(median(scaled));
  if (centre > 0 && std::isfinite(centre)) {
    for (double& value : scaled) value /= centre;
  }
  std::vector<Item> items = items_of(scaled.data(), n);
  Fenwick tree(n);
  const auto [split, observed] = scan(items, options.min_segment, tree, nullptr);
  if (!(observed > 0)) return {begin + split, 1};

  // Sequential (Besag and Clifford): stop once `limit` permutations reach
  // the observed statistic, since the p-value can then no longer fall below
  // alpha. A tiny tolerance counts a permutation that only rounding sets
  // apart as reaching it.
  const auto total = static_cast<double>(options.permutations + 1);
  const auto limit = static_cast<std::size_t>(std::ceil(options.alpha * total - 1e-9));
  const double reach = observed * (1 - 1e-12);
  Random random(segment_seed(options.seed, begin, end));
  std::size_t reached = 0, done = 0;
  while (done < options.permutations && reached < limit) {
    for (std::size_t i = n - 1; i > 0; --i) std::swap(items[i], items[random.below(i + 1)]);
    if (scan(items, options.min_segment, tree, nullptr).second >= reach) ++reached;
    ++done;
  }
  const double p = done == options.permutations
                       ? static_cast<double>(reached + 1) / total
                       : static_cast<double>(reached) / static_cast<double>(done);
  return {begin + split, p};
}

}  // namespace

std::vector<double> split_statistics(const std::vector<double>& values, std::size_t min_segment) {
  std::vector<double> out(values.size(), 0);
  min_segment = std::max<std::size_t>(min_segment, 2);
  if (values.size() < 2 * min_segment) return out;
  std::vector<Item> items = items_of(values.data(), values.size());
  Fenwick tree(values.size());
  scan(items, min_segment, tree, &out);
  return out;
}

std::vector<ChangePoint> change_points(const std::vector<double>& values,
                                       const ChangePointOptions& given) {
  ChangePointOptions options = given;
  options.min_segment = std::max<std::size_t>(options.min_segment, 2);
  std::vector<ChangePoint> found;
  // Binary segmentation: a significant split is kept and both sides are
  // examined in turn; a side with no significant split is one level.
  std::vector<std::pair<std::size_t, std::size_t>> pending{{0, values.size()}};
  while (!pending.empty()) {
    const auto [begin, end] = pending.back();
    pending.pop_back();
    if (end - begin < 2 * options.min_segment) continue;
    const ChangePoint point = test_segment(values, begin, end, options);
    if (!(point.p_value < options.alpha)) continue;
    found.push_back(point);
    pending.emplace_back(begin, point.index);
    pending.emplace_back(point.index, end);
  }
  std::sort(found.begin(), found.end(),
            [](const ChangePoint& a, const ChangePoint& b) { return a.index < b.index; });
  return found;
}

std::vector<Change> describe_changes(const std::vector<double>& values,
                                     const std::vector<ChangePoint>& points) {
  std::vector<Change> changes;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::size_t begin = i == 0 ? 0 : points[i - 1].index;
    const std::size_t end = i + 1 == points.size() ? values.size() : points[i + 1].index;
    Change change;
    change.index = points[i].index;
    change.p_value = points[i].p_value;
    change.median_before = median_of(values, begin, change.index);
    change.median_after = median_of(values, change.index, end);
    change.change_percent = 100 * (change.median_after / change.median_before - 1);
    changes.push_back(change);
  }
  return changes;
}

}  // namespace tarnwick
