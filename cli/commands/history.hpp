// `tarnwick history`: the runs stored with --save, listed with a sparkline of
// their mean rate per host and label; --import, --export, --delete and
// --undelete keep the store; --changes and --html read it.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands/changes.hpp"
#include "commands/command_line.hpp"

namespace tarnwick {

struct HistoryOptions {
  std::string history;  // --history FILE; empty: the default location
  std::optional<std::string> host, label;
  int64_t last = 20;
  bool last_given = false;  // --changes reads --last as its own window
  bool json = false;
  std::vector<std::string> import_paths;
  std::optional<std::string> export_path;  // "-" when --export names no file
  std::vector<std::string> delete_ids;
  std::vector<std::string> undelete_ids;
  ChangesOptions changes;  // --changes, --html and theirs
};

// Declares the `history` subcommand; when it is chosen, `action` runs it.
void add_history_command(CLI::App& app, HistoryOptions& options, CommandAction& action);

[[nodiscard]] int history_command(const HistoryOptions& options);

}  // namespace tarnwick
