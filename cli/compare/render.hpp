// The comparison as the terminal shows it (80 columns) and as `--json`
// writes it (described by docs/compare.schema.json).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "compare/comparison.hpp"

namespace tarnwick {

// 2: verdicts from runs only (a "not judged" verdict, null figures without a
// test, the prediction test), and each side's CV and unstable runs.
inline constexpr int COMPARE_SCHEMA_VERSION = 2;

// The side-by-side facts, then one block per compared label. Warnings and
// the gate's outcome are not part of it: they go to standard error.
[[nodiscard]] std::string comparison_text(const Comparison& comparison);

// The document of `compare --json`; `fail_slower` is the gate's percentage
// when one was asked for.
[[nodiscard]] nlohmann::ordered_json comparison_json(const Comparison& comparison,
                                                     std::optional<double> fail_slower);

// One line per label that trips the gate, saying by how much and by which
// test; empty when the gate passes.
[[nodiscard]] std::vector<std::string> gate_messages(const Comparison& comparison,
                                                     double fail_slower);

}  // namespace tarnwick
