// The history listing as text for a terminal and as a JSON document.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store/history.hpp"

namespace tarnwick {

// "stable", "UNSTABLE", "no CV", "cancelled" or "failed".
[[nodiscard]] std::string verdict(const ListedRun& run);

// The table of runs (oldest first) and one sparkline per host and label,
// every line within 80 columns.
[[nodiscard]] std::string listing_text(const std::string& path, const HistoryListing& listing,
                                       bool unicode);

// The listing as docs/history.schema.json describes it.
[[nodiscard]] nlohmann::ordered_json listing_json(const std::string& path,
                                                  const HistoryListing& listing);

}  // namespace tarnwick
