// `history --changes`: the stored runs cut into series (one host and what
// its runs measured: document/comparability's RunKey), each series' change
// points, read as shifts and episodes, and their outputs. The statistics are stats/change_points
// and stats/shifts; the runs come from History::completed_runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "document/comparability.hpp"
#include "stats/change_points.hpp"
#include "stats/shifts.hpp"
#include "store/history.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {

// One series' completed runs in start order; when it has enough runs to be
// judged, every significant step in it and what they make (large or not).
struct RunSeries {
  RunKey key;  // host "" when the documents did not say
  std::vector<ListedRun> runs;
  bool judged = false;
  std::vector<Change> changes;  // the steps, every one
  SeriesChanges found;          // shifts and episodes, every one
};

// `runs` (in completed_runs' order) cut into series, leaving out runs that
// started before `since`.
[[nodiscard]] std::vector<RunSeries> series_of(const std::vector<ListedRun>& runs,
                                               std::optional<UtcMillis> since);

// Judges each series that has runs_needed(options.min_segment) runs or
// more, on up to `threads` threads (0: one per CPU). The answer is the same
// whatever the number of threads.
void find_changes(std::vector<RunSeries>& series, const ChangePointOptions& options,
                  unsigned threads = 0);

// A shift large enough to report, with its series.
struct FoundShift {
  const RunSeries* series = nullptr;
  Shift shift;
  [[nodiscard]] const ListedRun& first_run() const { return series->runs[shift.first]; }
  [[nodiscard]] const ListedRun& last_run() const { return series->runs[shift.last]; }
  // How many runs of its series start at or after its last step.
  [[nodiscard]] std::size_t runs_since() const { return series->runs.size() - shift.last; }
};

// An episode large enough to report, with its series.
struct FoundEpisode {
  const RunSeries* series = nullptr;
  Episode episode;
  [[nodiscard]] const ListedRun& first_run() const { return series->runs[episode.begin]; }
  [[nodiscard]] const ListedRun& last_run() const { return series->runs[episode.end - 1]; }
};

// What the outputs report: in series order, each series' shifts and
// episodes in time order.
struct FoundChanges {
  std::vector<FoundShift> shifts;
  std::vector<FoundEpisode> episodes;
  std::vector<const RunSeries*> not_judged;
};

// The shifts and episodes of at least `min_percent` either way, and the
// series too short to judge.
[[nodiscard]] FoundChanges large_changes(const std::vector<RunSeries>& series, double min_percent);

// The shifts that fail --fail-on-change: at least `percent` down (or either
// way), their last step within the last `last` runs of their series, or
// still under way. Episodes never fail: they came back.
[[nodiscard]] std::vector<FoundShift> failing_shifts(const std::vector<FoundShift>& shifts,
                                                     double percent, bool either, std::size_t last);

struct ChangesSummary {
  std::string history;  // the database file
  std::size_t series = 0, runs = 0;
  double min_change_percent = 2;
  ChangePointOptions options;
};

// One series as docs/changes.schema.json describes it: its key, runs,
// whether it was judged, and its shifts and episodes of at least
// `min_percent` either way (the history page embeds the same).
[[nodiscard]] nlohmann::ordered_json series_changes_json(const RunSeries& series,
                                                         double min_percent);

// As docs/changes.schema.json describes it.
[[nodiscard]] nlohmann::ordered_json changes_json(const ChangesSummary& summary,
                                                  const std::vector<RunSeries>& series);

// One header per series with something to say, its shifts and episodes
// under it; every line within 80 columns.
[[nodiscard]] std::string changes_text(const ChangesSummary& summary, const FoundChanges& found);

// "host-a · default · 4 workers · 0.0.3": a series as the outputs name it.
[[nodiscard]] std::string series_name(const RunKey& key);

// Series as the outputs name them among others: a host seen on two CPU
// models (or architectures) under one name is two series with one
// series_name, told apart by the architecture and model.
class SeriesNames {
 public:
  explicit SeriesNames(const std::vector<const RunSeries*>& series);
  explicit SeriesNames(const FoundChanges& found);  // the series it names
  [[nodiscard]] std::string operator()(const RunSeries& series) const;

 private:
  std::set<std::string> shared_;
};

// One line each, for a CI report: "shift of -6.0 % (1.000 G -> 940.0 M /s)
// from run 0123456789ab at ..., the latest 30 runs"; "episode of -8.0 % (...)
// from run ... to run ..."; "9 runs; changes need 10".
[[nodiscard]] std::string shift_line(const FoundShift& found);
[[nodiscard]] std::string episode_line(const FoundEpisode& found);
[[nodiscard]] std::string not_judged_text(const RunSeries& series,
                                          const ChangePointOptions& options);

// A rate to four significant digits with its unit ("1.000 G", "38.00 k"):
// the one rule for every rate the change outputs show.
[[nodiscard]] std::string short_rate(double rate);

// A change with its sign and one decimal: "-6.0 %".
[[nodiscard]] std::string signed_percent(double percent);

}  // namespace tarnwick
