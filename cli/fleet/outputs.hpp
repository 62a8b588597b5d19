// The fleet report for people (text), for programs (JSON, CSV) and as a
// picture (an SVG dot plot). Pure functions of the report.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "fleet/fleet.hpp"

namespace tarnwick::fleet {

// "Intel(R) Xeon(R) · x86_64 · all-cpus, 2 workers · library 0.0.2"
[[nodiscard]] std::string group_title(const Group& group);

[[nodiscard]] std::string report_text(const FleetReport& report);
[[nodiscard]] nlohmann::ordered_json report_json(const FleetReport& report);
// One row per host and group.
[[nodiscard]] std::string report_csv(const FleetReport& report);
// One row per host, the hosts grouped by CPU model; each dot is a figure's
// distance from its group's median, outliers in colour and named.
[[nodiscard]] std::string report_svg(const FleetReport& report);

}  // namespace tarnwick::fleet
