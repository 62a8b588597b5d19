#include "util/sparkline.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace tarnwick {
namespace {

constexpr std::array<std::string_view, SPARK_LEVELS> BLOCKS = {
    "\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587"};
constexpr std::string_view ASCII = "_.:-=+#";
static_assert(ASCII.size() == SPARK_LEVELS);

}  // namespace

std::string_view spark_bar(std::size_t level, bool utf8) {
  level = std::min(level, SPARK_LEVELS - 1);
  return utf8 ? BLOCKS[level] : ASCII.substr(level, 1);
}

std::string sparkline(const std::vector<double>& values, double low, double high, bool utf8) {
  constexpr double top = static_cast<double>(SPARK_LEVELS - 1);
  std::string line;
  for (const double value : values) {
    double level = top / 2.0;
    if (high > low && !std::isnan(value)) {
      level = std::clamp((value - low) / (high - low) * top, 0.0, top);
    }
    line += spark_bar(static_cast<std::size_t>(std::lround(level)), utf8);
  }
  return line;
}

}  // namespace tarnwick
