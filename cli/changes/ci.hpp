// `history --changes` in CI's formats: a JUnit test case per series and a
// Markdown table of the changes found.
#pragma once

#include <vector>

#include "changes/changes.hpp"
#include "output/ci_report.hpp"

namespace tarnwick {

// One test case per series: failed where a change of `failing` (what
// --fail-on-change trips on) is in it, skipped with the reason where the
// series is too short to be cut (fewer than twice the shortest segment),
// passed otherwise.
[[nodiscard]] CiSuite changes_suite(const std::vector<RunSeries>& series,
                                    const std::vector<FoundChange>& failing,
                                    const ChangesSummary& summary);

// One row per change found, oldest first, and a line for a history without one.
[[nodiscard]] MarkdownTable changes_table(const std::vector<FoundChange>& found,
                                          const std::vector<FoundChange>& failing,
                                          const ChangesSummary& summary);

}  // namespace tarnwick
