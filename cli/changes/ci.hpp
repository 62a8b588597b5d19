// `history --changes` in CI's formats: a JUnit test case per series and a
// Markdown table of the shifts, episodes and series not judged.
#pragma once

#include <optional>
#include <vector>

#include "changes/changes.hpp"
#include "output/ci_report.hpp"

namespace tarnwick {

// What the CI reports are made of: every series examined, what was found
// large enough to list, and the gate's verdict.
struct ChangesReport {
  const ChangesSummary* summary = nullptr;
  const std::vector<RunSeries>* series = nullptr;  // every series, in order
  const FoundChanges* found = nullptr;             // large_changes' answer
  std::vector<FoundShift> failing;                 // what --fail-on-change trips on
  std::optional<double> fail_on_change;            // --fail-on-change PCT, when given
};

// One test case per series: failed where a shift of it trips the gate,
// skipped with the runs it needs where it was too short to judge, passed
// otherwise; its shifts and episodes in the case's output. An episode never
// fails a case, as it never trips the gate.
[[nodiscard]] CiSuite changes_suite(const ChangesReport& report);

// One row per shift and episode, in series order and then in time order,
// and one per series not judged; with the gate's verdict when one was set.
[[nodiscard]] MarkdownTable changes_table(const ChangesReport& report);

}  // namespace tarnwick
