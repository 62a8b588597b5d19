#include "robust.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace tarnwick {

double median(std::vector<double> values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  if (values.size() % 2 == 1) return *middle;
  // The lower middle is the largest of the half before the upper one.
  const double lower = *std::max_element(values.begin(), middle);
  return lower + (*middle - lower) / 2;
}

double median_of(const std::vector<double>& values, std::size_t begin, std::size_t end) {
  return median(std::vector<double>(values.data() + begin, values.data() + end));
}

double median_absolute_deviation(std::vector<double> values) {
  const double centre = median(values);
  for (double& value : values) value = std::fabs(value - centre);
  return median(std::move(values));
}

double robust_z(double x, double median, double mad) {
  // Written so that a NaN MAD takes the safe branch too.
  if (!(mad > 0) || std::isinf(mad)) return 0;
  return 0.6745 * (x - median) / mad;
}

std::vector<std::size_t> outliers(const std::vector<double>& values) {
  std::vector<std::size_t> found;
  if (values.size() < 3) return found;
  const double centre = median(values);
  const double mad = median_absolute_deviation(values);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::fabs(robust_z(values[i], centre, mad)) > OUTLIER_Z) found.push_back(i);
  }
  return found;
}

}  // namespace tarnwick
