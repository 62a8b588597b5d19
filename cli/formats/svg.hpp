// A self-contained SVG chart of a session: one panel per run, named by its
// label and repetition, with the per-second rate over the measured window,
// the mean as a line and the band of plus or minus one standard deviation
// around it; every panel on the same rate and time axes. Past six runs, one
// panel shows them all: each run's mean and the range of its seconds.
#pragma once

#include <string>
#include <vector>

#include "document/model.hpp"

namespace tarnwick {

[[nodiscard]] std::string session_svg(const Session& session);

}  // namespace tarnwick
