// `tarnwick compare BASE NEW`: reads two sets of result documents and
// judges, per run label, whether NEW is faster or slower than BASE (see
// compare/comparison.hpp for the rules). `--fail-slower PCT` makes it a CI
// gate: exit 1 when a label is slower by more than PCT percent.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_line.hpp"
#include "compare/comparison.hpp"
#include "document/read_documents.hpp"

namespace tarnwick {

struct CompareOptions {
  std::string base, now;  // paths, or "-" for standard input; empty when not given
  bool json = false;
  std::optional<double> fail_slower;  // percent, in [0, 100)
  CompareRules rules;                 // --across, --keep-disturbed
  NamedOutput junit{"--junit", {}, false};
  NamedOutput markdown{"--markdown", {}, false};
};

// Declares the `compare` subcommand; when it is chosen, `action` runs it.
// Returns the subcommand, so options that pick BASE elsewhere (the
// history's baseline) can join it.
CLI::App& add_compare_command(CLI::App& app, CompareOptions& options, CommandAction& action);

// Reads BASE and NEW from their paths and reports their comparison.
[[nodiscard]] int compare_command(const CompareOptions& options);

// One comparison to make: BASE, NEW, and what to say if it cannot be made
// (`missing`: NEW found no BASE at all, e.g. nothing stored yet).
struct SidePair {
  ComparisonSide base, now;
  std::string missing;
};

// Compares each pair and prints the outcome: the text or the JSON document
// on standard output, the runs left out, warnings and the gate's messages
// on standard error, and the JUnit and Markdown files asked for. Returns 0,
// 1 when the gate tripped, 2 when nothing could be compared, 3 when a label
// could not be judged and no gate tripped. Shared by every way of choosing
// BASE.
[[nodiscard]] int report_comparisons(const std::vector<SidePair>& pairs,
                                     const CompareOptions& options);

// Reads every document of `path` ("-": standard input) into `side` within
// `budget`, a run read twice counting once (`seen`); says what was left
// out. False when nothing could be read (and said so).
[[nodiscard]] bool read_side(const std::string& path, const char* name, ComparisonSide& side,
                             SeenRuns& seen, MemoryBudget& budget);

// Leaves out of `side` the runs `seen` found in conflict (one id, two sets
// of figures), naming them. False when nothing is left (and said so).
[[nodiscard]] bool drop_conflicts(const SeenRuns& seen, const char* name, ComparisonSide& side);

}  // namespace tarnwick
