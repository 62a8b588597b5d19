#include "precision.hpp"

#include <algorithm>
#include <boost/math/distributions/students_t.hpp>
#include <cmath>

namespace tarnwick {
namespace {

// More runs than any time limit allows; keeps the count within size_t.
constexpr double MOST_RUNS = 1e9;

struct Spread {
  double mean = 0;
  double deviation = 0;  // unbiased (n - 1)
};

Spread spread_of(const std::vector<double>& logs, std::size_t count) {
  Spread spread;
  for (std::size_t i = 0; i < count; ++i) spread.mean += logs[i];
  spread.mean /= static_cast<double>(count);
  double squares = 0;
  for (std::size_t i = 0; i < count; ++i) {
    squares += (logs[i] - spread.mean) * (logs[i] - spread.mean);
  }
  if (count > 1) spread.deviation = std::sqrt(squares / static_cast<double>(count - 1));
  return spread;
}

double t_quantile(std::size_t count, double confidence) {
  const boost::math::students_t distribution(static_cast<double>(count - 1));
  return boost::math::quantile(distribution, 0.5 + confidence / 2);
}

}  // namespace

std::optional<PrecisionState> precision_state(const std::vector<double>& rates, double target,
                                              double confidence, std::size_t first_stage) {
  if (!(target > 0 && target < 1) || !(confidence > 0 && confidence < 1) || first_stage < 2) {
    return std::nullopt;
  }
  std::vector<double> logs;
  for (const double rate : rates) {
    if (rate > 0 && std::isfinite(rate)) logs.push_back(std::log(rate));
  }
  PrecisionState state;
  state.runs = logs.size();
  if (logs.empty()) return state;
  const double mean = spread_of(logs, logs.size()).mean;
  state.geometric_mean = std::exp(mean);
  if (logs.size() < 2) return state;

  double half = 0;  // of the mean log
  if (logs.size() < first_stage) {
    half = t_quantile(logs.size(), confidence) * spread_of(logs, logs.size()).deviation /
           std::sqrt(static_cast<double>(logs.size()));
  } else {
    const double t = t_quantile(first_stage, confidence);
    const double s0 = spread_of(logs, first_stage).deviation;
    const double wanted = std::log1p(target);
    const double needed = std::pow(t * s0 / wanted, 2);
    state.runs_needed =
        std::max(first_stage, static_cast<std::size_t>(std::ceil(std::min(needed, MOST_RUNS))));
    half = t * s0 / std::sqrt(static_cast<double>(logs.size()));
    state.reached = logs.size() >= state.runs_needed;
  }
  state.low = std::exp(mean - half);
  state.high = std::exp(mean + half);
  state.half_width = std::expm1(half);
  return state;
}

}  // namespace tarnwick
