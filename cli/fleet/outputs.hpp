// The fleet report for people (text), for programs (JSON, CSV) and as a
// picture (an SVG dot plot). Pure functions of the report.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "fleet/fleet.hpp"

namespace tarnwick::fleet {

// "Intel(R) Xeon(R) · x86_64 · all-cpus, 2 workers · library 0.0.2"
[[nodiscard]] std::string group_title(const Group& group);

// Percent above (+) or below (-) the group's median.
[[nodiscard]] double deviation_percent(const HostFigure& host, const Group& group);

[[nodiscard]] std::string report_text(const FleetReport& report);
[[nodiscard]] nlohmann::ordered_json report_json(const FleetReport& report);
// One row per host and group.
[[nodiscard]] std::string report_csv(const FleetReport& report);
// The tallest picture report_svg() draws, in pixels, for any fleet.
inline constexpr double SVG_MAX_HEIGHT = 4000.0;

// One band per group: its hosts' distance from the group's median as a
// strip of dots over a box of the middle half, the dot's size telling the
// worker count; only the flagged hosts are named, each with its label.
// Groups that would make the picture taller than SVG_MAX_HEIGHT are left
// out (those with flagged hosts last) and counted at the bottom.
[[nodiscard]] std::string report_svg(const FleetReport& report);

}  // namespace tarnwick::fleet
