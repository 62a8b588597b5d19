#pragma once

#include <cstdint>
#include <vector>

#include "outcome.hpp"

namespace tarnwick {

// Above this coefficient of variation (percent) a run is unstable.
inline constexpr double UNSTABLE_CV_PERCENT = 10.0;

// Appends the interval (last_time, now_time] with the steps since last_ops,
// then advances the running state. Does nothing when now_time <= last_time.
void append_sample(std::vector<Sample>& samples, std::uint64_t total_ops, double& last_time,
                   std::uint64_t& last_ops, double now_time);

// Closes the series at measured_seconds: drops samples at or beyond it and
// appends one covering the remainder, so the series spans the window exactly.
void finish_samples(Outcome& outcome);

// Decides status and reason (panicked > cancelled > too short > completed)
// and computes mean_rate, cv_percent and unstable.
void finish_result(Outcome& outcome, bool panicked, bool cancelled);

}  // namespace tarnwick
