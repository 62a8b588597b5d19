// `tarnwick compare BASE NEW`: reads two result documents and judges, per
// run label, whether NEW is faster or slower than BASE (see
// compare/comparison.hpp for the rules). `--fail-slower PCT` makes it a CI
// gate: exit 1 when a label is slower by more than PCT percent.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_line.hpp"
#include "compare/comparison.hpp"

namespace tarnwick {

struct CompareOptions {
  std::string base, now;  // paths, or "-" for standard input; empty when not given
  bool json = false;
  std::optional<double> fail_slower;  // percent, in [0, 100)
};

// Declares the `compare` subcommand; when it is chosen, `action` runs it.
// Returns the subcommand, so options that pick BASE elsewhere (the
// history's baseline) can join it.
CLI::App& add_compare_command(CLI::App& app, CompareOptions& options, CommandAction& action);

// Reads BASE and NEW from their paths and reports their comparison.
[[nodiscard]] int compare_command(const CompareOptions& options);

// Compares two loaded sides and prints the outcome: the text or the JSON
// document on standard output, warnings and the gate's messages on standard
// error. Returns 0, 1 when the gate tripped, or 2 when nothing could be
// compared. Shared by every way of choosing BASE.
[[nodiscard]] int report_comparison(const ComparisonSide& base, const ComparisonSide& now,
                                    const CompareOptions& options);

}  // namespace tarnwick
