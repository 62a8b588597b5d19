// `tarnwick compare --baseline NEW`: NEW judged against the history, the
// last N stored runs of NEW's host, label, worker count and library version
// making BASE, by the same engine and report as `compare BASE NEW`.
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

// Adds --baseline NEW, --last N and --history FILE to the compare command;
// with --baseline, compare judges NEW against the last N stored runs of
// NEW's host, label, worker count and library version.
void add_baseline_options(CLI::App& compare, BaselineOptions& baseline, CompareOptions& options,
                          CommandAction& action);

[[nodiscard]] int baseline_command(const BaselineOptions& baseline, const CompareOptions& options);

}  // namespace tarnwick
