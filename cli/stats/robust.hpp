// Robust statistics: the median, the median absolute deviation and the
// robust z-score that flags a value far from the others. Pure functions, no
// state; shared by the repetition summary, compare and the fleet report so
// that every place judges an outlier by the same rule.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnwick {

// A value is an outlier when its robust z-score is beyond this, either way.
inline constexpr double OUTLIER_Z = 3.5;

// The middle value (the mean of the two middle ones for an even count).
// NaN for no values.
[[nodiscard]] double median(std::vector<double> values);
// The median of values[begin, end).
[[nodiscard]] double median_of(const std::vector<double>& values, std::size_t begin,
                               std::size_t end);

// The median of |x - median(values)|; NaN for no values.
[[nodiscard]] double median_absolute_deviation(std::vector<double> values);

// 0.6745 x (x - median) / mad: about a normal z-score for normal data, but
// not pulled by the outliers it is meant to find. 0 when mad is 0 or not a
// positive number, so callers never see an infinity.
[[nodiscard]] double robust_z(double x, double median, double mad);

// The positions (0-based, ascending) of the values whose robust z-score is
// beyond OUTLIER_Z. None below 3 values, where there is no majority to judge
// by, and none when the MAD is 0 (most values equal: no spread to judge by).
[[nodiscard]] std::vector<std::size_t> outliers(const std::vector<double>& values);

}  // namespace tarnwick
