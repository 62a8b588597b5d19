// `history --html FILE`: the history as one self-contained page. Per host
// and label, the mean rate of each run over time with its spread (± CV) as
// a band, one line per worker count and library version, the change points
// marked with their size, unstable runs drawn as such. This file only
// prepares the data; the page's script draws it.
#pragma once

#include <string>
#include <vector>

#include "changes/changes.hpp"

namespace tarnwick {

struct HistoryPageSummary {
  std::string history;    // the database file
  std::string generated;  // UTC, when the page was written
  double min_change_percent = 2;
  std::string filter;  // the filters given, as text ("" for none)
  // The fewest runs a series is judged on.
  std::size_t runs_needed = tarnwick::runs_needed(ChangePointOptions{}.min_segment);
};

// The whole page. `series` come in completed_runs' order (by host and
// label first), their changes found.
[[nodiscard]] std::string history_page(const HistoryPageSummary& summary,
                                       const std::vector<RunSeries>& series);

}  // namespace tarnwick
