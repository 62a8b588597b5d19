// `history --changes`: the stored runs cut into series (one host and what
// its runs measured: document/comparability's RunKey), each series' change points, and their
// outputs. The statistics are stats/change_points; the runs come from History::completed_runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "stats/change_points.hpp"
#include "store/history.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {

// One series' completed runs in start order, and every significant change
// in it (large or not).
struct RunSeries {
  RunKey key;  // host "" when the documents did not say
  std::vector<ListedRun> runs;
  std::vector<Change> changes;
};

// `runs` (in completed_runs' order) cut into series, leaving out runs that
// started before `since`.
[[nodiscard]] std::vector<RunSeries> series_of(const std::vector<ListedRun>& runs,
                                               std::optional<UtcMillis> since);

// Fills each series' changes, on up to `threads` threads (0: one per CPU).
// The answer is the same whatever the number of threads.
void find_changes(std::vector<RunSeries>& series, const ChangePointOptions& options,
                  unsigned threads = 0);

// A change large enough to report, with its series.
struct FoundChange {
  const RunSeries* series = nullptr;
  Change change;
  [[nodiscard]] const ListedRun& first_run() const { return series->runs[change.index]; }
  // How many runs of its series start at or after the change.
  [[nodiscard]] std::size_t runs_since() const { return series->runs.size() - change.index; }
};

// The changes of at least `min_percent` either way, oldest first.
[[nodiscard]] std::vector<FoundChange> large_changes(const std::vector<RunSeries>& series,
                                                     double min_percent);

// The change that fails --fail-on-change: at least `percent` down (or either
// way), starting within the last `last` runs of its series.
[[nodiscard]] std::vector<FoundChange> failing_changes(const std::vector<FoundChange>& changes,
                                                       double percent, bool either,
                                                       std::size_t last);

struct ChangesSummary {
  std::string history;  // the database file
  std::size_t series = 0, runs = 0;
  double min_change_percent = 2;
  ChangePointOptions options;
};

// As docs/changes.schema.json describes it.
[[nodiscard]] nlohmann::ordered_json changes_json(const ChangesSummary& summary,
                                                  const std::vector<FoundChange>& changes);

// One block per change, every line within 80 columns.
[[nodiscard]] std::string changes_text(const ChangesSummary& summary,
                                       const std::vector<FoundChange>& changes);

// "host-a · default · 4 workers · 0.0.3": a series as the outputs name it.
[[nodiscard]] std::string series_name(const RunKey& key);

}  // namespace tarnwick
