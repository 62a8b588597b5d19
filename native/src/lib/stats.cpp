#include "stats.hpp"

#include <cmath>

#include "reasons.hpp"

namespace tarnwick {

namespace {

// Saturate: the monitor's readings can run ahead of the final totals, and a
// wrapped difference would invent steps that never ran.
std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) noexcept {
  return a >= b ? a - b : 0;
}

Sample make_sample(double time, double duration, std::uint64_t operations) noexcept {
  return Sample{time, duration, operations, static_cast<double>(operations) / duration};
}

}  // namespace

void append_sample(std::vector<Sample>& samples, std::uint64_t total_ops, double& last_time,
                   std::uint64_t& last_ops, double now_time) {
  const double dt = now_time - last_time;
  // Written so that a NaN reading is skipped too: a sample's duration must be
  // positive.
  if (!(dt > 0.0)) return;
  samples.push_back(make_sample(now_time, dt, saturating_sub(total_ops, last_ops)));
  last_time = now_time;
  last_ops = total_ops;
}

void finish_samples(Outcome& outcome) {
  std::vector<Sample>& samples = outcome.samples;
  // Readings taken after every worker had stopped lie at or beyond the end;
  // their steps belong to the closing sample instead.
  while (!samples.empty() && samples.back().time >= outcome.measured_seconds) samples.pop_back();

  const double prev_time = samples.empty() ? 0.0 : samples.back().time;
  std::uint64_t prev_ops = 0;
  for (const Sample& s : samples) prev_ops += s.operations;  // unsigned: wraps

  const double dt = outcome.measured_seconds - prev_time;
  if (!(dt > 0.0)) return;
  samples.push_back(
      make_sample(outcome.measured_seconds, dt, saturating_sub(outcome.operations, prev_ops)));
}

void finish_result(Outcome& outcome, bool panicked, bool cancelled) {
  if (panicked) {
    outcome.reason = reasons::WORKER_PANICKED;
    return;
  }
  if (cancelled) {
    outcome.status = STATUS_CANCELLED;
    outcome.reason = reasons::CANCELLED;
    return;
  }
  // A window that is not positive (NaN included) cannot have completed work;
  // reporting a rate over it would turn a failure into a success.
  if (outcome.operations == 0 || !(outcome.measured_seconds > 0.0)) {
    outcome.reason = reasons::TOO_SHORT;
    return;
  }

  outcome.status = STATUS_COMPLETED;
  outcome.reason.clear();
  const double mean = static_cast<double>(outcome.operations) / outcome.measured_seconds;
  outcome.mean_rate = mean;
  if (outcome.samples.size() < 2) return;

  // Weighted by duration over the whole window, around the window's own rate:
  // a short closing sample counts for its share of time, not as a full second.
  double weighted = 0.0;
  for (const Sample& s : outcome.samples) {
    const double d = s.rate - mean;
    weighted += s.duration * d * d;
  }
  const double cv = std::sqrt(weighted / outcome.measured_seconds) / mean * 100.0;
  outcome.cv_percent = cv;
  // A NaN compares false, so it stays stable.
  outcome.unstable = cv > UNSTABLE_CV_PERCENT;
}

}  // namespace tarnwick
