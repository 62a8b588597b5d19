#include "changes/ci.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

namespace tarnwick {
namespace {

bool is_failing(const std::vector<FoundChange>& failing, const RunSeries& series,
                const Change* change = nullptr) {
  return std::any_of(failing.begin(), failing.end(), [&](const FoundChange& found) {
    return found.series == &series && (change == nullptr || found.change.index == change->index);
  });
}

std::string change_text(const FoundChange& found) {
  return fmt::format("{:+.1f} % from run {} ({} runs ago, p = {:.3f})", found.change.change_percent,
                     found.first_run().id.substr(0, 12), found.runs_since(), found.change.p_value);
}

}  // namespace

CiSuite changes_suite(const std::vector<RunSeries>& series, const std::vector<FoundChange>& failing,
                      const ChangesSummary& summary) {
  CiSuite suite{"tarnwick history --changes: " + summary.history, {}};
  for (const RunSeries& one : series) {
    CiCase item{series_name(one.key), CiCase::Outcome::passed, {}, {}};
    std::vector<std::string> shifts;
    for (const FoundChange& found : failing) {
      if (found.series == &one) shifts.push_back(change_text(found));
    }
    if (is_failing(failing, one)) {
      item.outcome = CiCase::Outcome::failed;
      item.message = "--fail-on-change: " + shifts.front();
      item.detail = fmt::format("{}", fmt::join(shifts, "\n"));
    } else if (one.runs.size() < 2 * summary.options.min_segment) {
      item.outcome = CiCase::Outcome::skipped;
      item.message =
          fmt::format("not judged: {} run{}, a change needs {} on each side", one.runs.size(),
                      one.runs.size() == 1 ? "" : "s", summary.options.min_segment);
    } else {
      item.detail = fmt::format("{} runs, {} change{} found", one.runs.size(), one.changes.size(),
                                one.changes.size() == 1 ? "" : "s");
    }
    suite.cases.push_back(std::move(item));
  }
  return suite;
}

MarkdownTable changes_table(const std::vector<FoundChange>& found,
                            const std::vector<FoundChange>& failing,
                            const ChangesSummary& summary) {
  MarkdownTable table;
  table.heading = "tarnwick history --changes: " + summary.history;
  table.columns = {"Series", "From run", "Started", "Change", "Before", "After", "p", "Gate"};
  for (const FoundChange& one : found) {
    table.rows.push_back(
        {series_name(one.series->key), one.first_run().id.substr(0, 12), one.first_run().started,
         fmt::format("{:+.1f} %", one.change.change_percent),
         fmt::format("{:.6g}", one.change.median_before),
         fmt::format("{:.6g}", one.change.median_after), fmt::format("{:.3f}", one.change.p_value),
         is_failing(failing, *one.series, &one.change) ? "FAILED" : ""});
  }
  table.notes.push_back(fmt::format("{} series, {} runs; changes of {} % or more either way.",
                                    summary.series, summary.runs, summary.min_change_percent));
  return table;
}

}  // namespace tarnwick
