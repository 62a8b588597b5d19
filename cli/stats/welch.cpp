#include "welch.hpp"

#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <exception>

namespace tarnwick {
namespace {

struct LogMoments {
  double mean = 0;
  double variance = 0;  // unbiased (n - 1)
  double count = 0;
};

std::optional<LogMoments> log_moments(const std::vector<double>& values) {
  if (values.size() < 2) return std::nullopt;
  LogMoments moments;
  moments.count = static_cast<double>(values.size());
  for (const double value : values) {
    if (!(value > 0) || !std::isfinite(value)) return std::nullopt;
    moments.mean += std::log(value);
  }
  moments.mean /= moments.count;
  for (const double value : values) {
    const double deviation = std::log(value) - moments.mean;
    moments.variance += deviation * deviation;
  }
  moments.variance /= moments.count - 1;
  return moments;
}

}  // namespace

std::optional<RatioTest> welch_log_ratio(const std::vector<double>& base,
                                         const std::vector<double>& now, double confidence) {
  const auto a = log_moments(base);
  const auto b = log_moments(now);
  if (!a || !b || !(confidence > 0 && confidence < 1)) return std::nullopt;

  RatioTest test;
  test.confidence = confidence;
  const double difference = b->mean - a->mean;
  test.ratio = std::exp(difference);
  const double share_a = a->variance / a->count;
  const double share_b = b->variance / b->count;
  const double variance = share_a + share_b;
  if (!(variance > 0)) {
    // No spread on either side: the difference is exact, whatever it is.
    test.low = test.high = test.ratio;
    test.p_value = difference == 0 ? 1 : 0;
    test.degrees_of_freedom = a->count + b->count - 2;
    return test;
  }
  test.degrees_of_freedom =
      variance * variance /
      (share_a * share_a / (a->count - 1) + share_b * share_b / (b->count - 1));
  const double error = std::sqrt(variance);
  test.t = difference / error;
  try {
    const boost::math::students_t distribution(test.degrees_of_freedom);
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

}  // namespace tarnwick
