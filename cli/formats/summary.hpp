// The summary a person reads after a run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "document/model.hpp"
#include "tarnwick.h"

namespace tarnwick {

// Sparkline bars are seven block heights, the middle one at the reference
// rate and each step SPARK_STEP of it away: a steady run is a flat line, and
// a 10 % swing, the limit of a stable run, is two steps.
inline constexpr double SPARK_STEP = 0.05;

// The per-second rates as one bar each (block characters); more samples
// than max_columns are merged, duration-weighted, into max_columns bars.
[[nodiscard]] std::string sparkline(const std::vector<tarnwick_sample_t>& samples, double reference,
                                    std::size_t max_columns = 60);

// The block of one run; the header names its version, workers and status.
[[nodiscard]] std::string run_summary(const RunReport& run, const std::string& version);

// The whole session: every run, the scaling figure when there are two,
// and the host facts.
[[nodiscard]] std::string session_summary(const Session& session);

}  // namespace tarnwick
