// `tarnwick compare --baseline NEW`: NEW judged against the history, the
// last N stored runs like NEW's (document/comparability's RunKey: its host,
// CPU model, architecture, label, workers and library version) making BASE,
// by the same engine and report as `compare BASE NEW`; one comparison per
// host and CPU model among NEW's documents.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "commands/command_line.hpp"
#include "commands/compare.hpp"

namespace tarnwick {

struct BaselineOptions {
  std::string now;  // --baseline NEW; empty: not asked for
  int64_t last = 10;
  std::string history;
};

// Adds --baseline NEW, --last N and --history FILE to the compare command.
void add_baseline_options(CLI::App& compare, BaselineOptions& baseline, CompareOptions& options,
                          CommandAction& action);

[[nodiscard]] int baseline_command(const BaselineOptions& baseline, const CompareOptions& options);

}  // namespace tarnwick
