// The fleet report as one self-contained HTML page (report --html): per
// group the strip of its hosts' rates, the flagged hosts named in text, a
// table of every host that sorts and filters, and a host's runs when it is
// chosen. The data is prepared here; the page's script draws it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "fleet/fleet.hpp"

namespace tarnwick::fleet {

// What the page shows, compact: hosts as rows of arrays (a 2,000-host fleet
// stays a few hundred kilobytes).
[[nodiscard]] nlohmann::json page_data(const FleetReport& report);

[[nodiscard]] std::string report_html(const FleetReport& report);

}  // namespace tarnwick::fleet
