#include "util/svg.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "util/text.hpp"

namespace tarnwick {

std::vector<double> nice_ticks(double low, double high, int count) {
  if (!std::isfinite(low) || !std::isfinite(high)) return {0.0, 1.0};
  if (!(high > low)) high = low + std::max(1.0, std::abs(low) * 0.1);
  if (count < 1) count = 1;
  const double raw = (high - low) / count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = magnitude;
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    step = factor * magnitude;
    if (step >= raw) break;
  }
  // Ticks as whole multiples of the step, so no error accumulates.
  const double first = std::floor(low / step);
  const double last = std::ceil(high / step);
  std::vector<double> ticks;
  for (double k = first; k <= last && ticks.size() < static_cast<std::size_t>(count) + 3;
       k += 1.0) {
    ticks.push_back(k * step);
  }
  if (ticks.empty()) ticks.push_back(first * step);
  if (ticks.size() < 2) ticks.push_back(ticks.back() + step);
  return ticks;
}

std::string xml_escape(const std::string& text) {
  std::string escaped;
  // XML has no way to carry control characters: they are shown escaped.
  for (const char c : printable(text)) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace tarnwick
