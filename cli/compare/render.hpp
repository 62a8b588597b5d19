// The comparison as the terminal shows it and as `--json` writes it
// (described by docs/compare.schema.json).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "compare/comparison.hpp"

namespace tarnwick {

// 2: verdicts from runs only (a "not judged" verdict, null figures without a
// test, the prediction test), and each side's CV and unstable runs.
// 3: one entry per comparison (`--baseline` makes one per host and CPU
// model), what differs between the sides, the runs left out and why, and
// why a label was not judged.
inline constexpr int COMPARE_SCHEMA_VERSION = 3;

// The side-by-side facts, then one block per compared label. Prose lines
// fold at spaces to `width` columns (0: never, as off a terminal). Warnings
// and the gate's outcome are not part of it: they go to standard error.
[[nodiscard]] std::string comparison_text(const Comparison& comparison, int width = 0);

// The document of `compare --json`, one entry per comparison; `fail_slower`
// is the gate's percentage when one was asked for.
[[nodiscard]] nlohmann::ordered_json comparisons_json(const std::vector<Comparison>& comparisons,
                                                      std::optional<double> fail_slower);

// One line per label that trips the gate, saying by how much and by which
// test; empty when the gate passes.
[[nodiscard]] std::vector<std::string> gate_messages(const Comparison& comparison,
                                                     double fail_slower);

// "0.978, 95 % CI 0.950 to 1.007": the ratio and, when a test was made,
// its interval; "0.978, no interval" without one.
[[nodiscard]] std::string ratio_text(const LabelComparison& label);

// The verdict as one line: "SLOWER by 4.2 %", "no significant
// difference" or the reason it was not judged.
[[nodiscard]] std::string verdict_text(const LabelComparison& label);

}  // namespace tarnwick
