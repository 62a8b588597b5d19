#include "welch.hpp"

#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <exception>

namespace tarnwick {
namespace {

struct LogMoments {
  double mean = 0;
  double variance = 0;  // unbiased (n - 1); 0 for one value
  double count = 0;
};

std::optional<LogMoments> log_moments(const std::vector<double>& values, std::size_t least) {
  if (values.size() < least || values.empty()) return std::nullopt;
  LogMoments moments;
  moments.count = static_cast<double>(values.size());
  for (const double value : values) {
    if (!(value > 0) || !std::isfinite(value)) return std::nullopt;
    moments.mean += std::log(value);
  }
  moments.mean /= moments.count;
  if (values.size() < 2) return moments;
  for (const double value : values) {
    const double deviation = std::log(value) - moments.mean;
    moments.variance += deviation * deviation;
  }
  moments.variance /= moments.count - 1;
  return moments;
}

// The interval and p-value of a difference of mean logs with the given
// standard error and degrees of freedom. Nothing without an error (no
// spread is no evidence: equal rates are copies more often than runs) or
// when Boost cannot compute a figure.
std::optional<RatioTest> t_interval(double difference, double error, double degrees_of_freedom,
                                    double confidence) {
  RatioTest test;
  test.confidence = confidence;
  test.ratio = std::exp(difference);
  test.degrees_of_freedom = degrees_of_freedom;
  if (!(error > 0) || !std::isfinite(error)) return std::nullopt;
  test.t = difference / error;
  try {
    const boost::math::students_t distribution(degrees_of_freedom);
    const double quantile = boost::math::quantile(distribution, 0.5 + confidence / 2);
    test.low = std::exp(difference - quantile * error);
    test.high = std::exp(difference + quantile * error);
    test.p_value = 2 * boost::math::cdf(boost::math::complement(distribution, std::fabs(test.t)));
  } catch (const std::exception&) {
    // Boost reports a value it cannot compute (an overflowing sample) by
    // throwing; for the caller it is a test that could not be made.
    return std::nullopt;
  }
  return test;
}

}  // namespace

std::optional<RatioTest> welch_log_ratio(const std::vector<double>& base,
                                         const std::vector<double>& now, double confidence) {
  const auto a = log_moments(base, 2);
  const auto b = log_moments(now, 2);
  if (!a || !b || !(confidence > 0 && confidence < 1)) return std::nullopt;
  const double share_a = a->variance / a->count;
  const double share_b = b->variance / b->count;
  const double variance = share_a + share_b;
  const double degrees_of_freedom =
      variance > 0 ? variance * variance /
                         (share_a * share_a / (a->count - 1) + share_b * share_b / (b->count - 1))
                   : a->count + b->count - 2;
  return t_interval(b->mean - a->mean, std::sqrt(variance), degrees_of_freedom, confidence);
}

std::optional<RatioTest> prediction_log_ratio(const std::vector<double>& base,
                                              const std::vector<double>& now, double confidence) {
  const auto a = log_moments(base, 1);
  const auto b = log_moments(now, 1);
  if (!a || !b || !(confidence > 0 && confidence < 1)) return std::nullopt;
  const LogMoments& reference = a->count >= b->count ? *a : *b;
  if (reference.count < 2) return std::nullopt;
  const double error = std::sqrt(reference.variance * (1 / a->count + 1 / b->count));
  return t_interval(b->mean - a->mean, error, reference.count - 1, confidence);
}

std::optional<double> geometric_ratio(const std::vector<double>& base,
                                      const std::vector<double>& now) {
  const auto a = log_moments(base, 1);
  const auto b = log_moments(now, 1);
  if (!a || !b) return std::nullopt;
  return std::exp(b->mean - a->mean);
}

}  // namespace tarnwick
