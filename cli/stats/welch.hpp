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
inline constexpr std::string_view PREDICTION_LOG_TEST = "prediction interval on log rates";

struct RatioTest {
  double ratio = 1;  // geometric mean of NEW / geometric mean of BASE
  double low = 1;    // the ratio's confidence interval
  double high = 1;
  double p_value = 1;             // two-sided, for "the ratio is 1"
  double t = 0;                   // the statistic (positive: NEW is faster)
  double degrees_of_freedom = 0;  // Welch-Satterthwaite, or n - 1 of the prediction's side
  double confidence = 0.95;       // of [low, high]
};

// Nothing when either side has fewer than two observations, when an
// observation is not a positive finite number (a rate has a logarithm only
// then), or when neither side has any spread: no spread is no evidence.
[[nodiscard]] std::optional<RatioTest> welch_log_ratio(const std::vector<double>& base,
                                                       const std::vector<double>& now,
                                                       double confidence = 0.95);

// A side of one or two runs judged against the other side's run-to-run
// spread: the one or two values say nothing of their own spread, so the
// difference of mean logs is measured against the standard deviation s of
// the side with more values (at least two), with its n - 1 degrees of
// freedom and a standard error of s x sqrt(1/n_base + 1/n_new): the
// interval in which the small side's mean would fall if nothing had
// changed. Nothing when the larger side has fewer than two values or no
// spread, the other none, or a value is not a positive finite number.
[[nodiscard]] std::optional<RatioTest> prediction_log_ratio(const std::vector<double>& base,
                                                            const std::vector<double>& now,
                                                            double confidence = 0.95);

// The ratio of the geometric means NEW/BASE alone, for a pair that cannot
// be judged; nothing under the same conditions as the tests.
[[nodiscard]] std::optional<double> geometric_ratio(const std::vector<double>& base,
                                                    const std::vector<double>& now);

}  // namespace tarnwick
