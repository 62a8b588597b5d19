// The summary a person reads after a run: fits the width it is given, and
// falls back to ASCII outside UTF-8 locales.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "document/model.hpp"
#include "output/terminal.hpp"
#include "tarnwick.hpp"

namespace tarnwick {

// Sparkline bars are seven block heights, the middle one at the reference
// rate and each step SPARK_STEP of it away: a steady run is a flat line, and
// a 10 % swing, the limit of a stable run, is two steps.
inline constexpr double SPARK_STEP = 0.05;

// The per-second rates as one bar each (block characters, or ASCII
// "_.:-=+#" with utf8 false); more samples than max_columns are merged,
// duration-weighted, into max_columns bars.
[[nodiscard]] std::string sparkline(const std::vector<Sample>& samples, double reference,
                                    std::size_t max_columns = 60, bool utf8 = true);

// The block of one run; the header names its version, workers, status and,
// when numbered, its repetition.
[[nodiscard]] std::string run_summary(const RunReport& run, const std::string& version,
                                      const TextStyle& style = {}, bool numbered = false);

// The whole session: every run, the repetitions' spread, the scaling figure
// and the host facts.
[[nodiscard]] std::string session_summary(const Session& session, const TextStyle& style = {});

}  // namespace tarnwick
