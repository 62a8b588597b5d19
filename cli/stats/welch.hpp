// Welch's t-test on the logarithms of two samples of rates: is NEW faster or
// slower than BASE, and by how much? Rates are compared as a ratio, and a
// ratio is a difference of logarithms, so the test's confidence interval for
// the difference of mean logs, exponentiated, is the interval of the ratio
// NEW/BASE (of the geometric means). Welch's form does not assume both sides
// vary alike: two machines, or one machine on two days, seldom do.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr std::string_view WELCH_LOG_TEST = "Welch's t-test on log rates";

struct RatioTest {
  double ratio = 1;  // geometric mean of NEW / geometric mean of BASE
  double low = 1;    // the ratio's confidence interval
  double high = 1;
  double p_value = 1;             // two-sided, for "the ratio is 1"
  double t = 0;                   // the statistic (positive: NEW is faster)
  double degrees_of_freedom = 0;  // Welch-Satterthwaite
  double confidence = 0.95;       // of [low, high]
};

// Nothing when either side has fewer than two observations, or when an
// observation is not a positive finite number (a rate has a logarithm only
// then). Two sides without any spread are judged exactly: equal means give
// ratio 1 and p = 1, different ones p = 0 and an interval of the ratio alone.
[[nodiscard]] std::optional<RatioTest> welch_log_ratio(const std::vector<double>& base,
                                                       const std::vector<double>& now,
                                                       double confidence = 0.95);

}  // namespace tarnwick
