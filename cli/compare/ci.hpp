// A comparison in CI's formats: a JUnit test suite (a test case per label)
// and a Markdown table for a job's summary page.
#pragma once

#include <optional>

#include "compare/comparison.hpp"
#include "output/ci_report.hpp"

namespace tarnwick {

// One test case per label: failed where the `fail_slower` gate trips,
// skipped with the reason where the label was not judged, passed otherwise.
[[nodiscard]] CiSuite comparison_suite(const Comparison& comparison,
                                       std::optional<double> fail_slower);

// One row per label, the runs left out and what differs as notes below.
[[nodiscard]] MarkdownTable comparison_table(const Comparison& comparison,
                                             std::optional<double> fail_slower);

}  // namespace tarnwick
