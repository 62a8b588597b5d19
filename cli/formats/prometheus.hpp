// The run's figures in Prometheus's text exposition format, for
// node_exporter's textfile collector: base units, ratios rather than
// percents, HELP and TYPE for every metric, and no sample timestamps (the
// collector refuses them; the time of the run is a gauge of its own).
#pragma once

#include <string>
#include <string_view>

#include "document/model.hpp"

namespace tarnwick {

// A label value: valid UTF-8 (bad bytes become U+FFFD), with backslash,
// double quote and newline escaped.
[[nodiscard]] std::string prometheus_label_value(std::string_view text);

// One series per label (its workers those of its last completed run); with
// repeated runs, the median of the completed runs' figures (the rate's from
// the repetition summary) and the number of runs.
[[nodiscard]] std::string prometheus_text(const Session& session);

}  // namespace tarnwick
