// `tarnwick history`: the runs stored with --save, listed with a sparkline of
// their mean rate per host and label; --import, --export, --delete and
// --undelete keep the store. Also the run's --save hook, the other way into the history.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_line.hpp"

namespace tarnwick {

struct HistoryOptions {
  std::string history;  // --history FILE; empty: the default location
  std::optional<std::string> host, label;
  int64_t last = 20;
  bool json = false;
  std::vector<std::string> import_paths;
  std::optional<std::string> export_path;  // "-" when --export names no file
  std::vector<std::string> delete_ids;
  std::vector<std::string> undelete_ids;
};

// Declares the `history` subcommand; when it is chosen, `action` runs it.
void add_history_command(CLI::App& app, HistoryOptions& options, CommandAction& action);

[[nodiscard]] int history_command(const HistoryOptions& options);

// Stores a finished run's document in the history (`history_option` as
// --history gave it), first storing any runs left pending. A history that
// cannot take it now or here (locked past the wait, full, read-only) gets it
// kept in a pending file, said where, and returns 0; otherwise prints what
// went wrong and returns 2, or returns 0.
[[nodiscard]] int save_to_history(const nlohmann::ordered_json& document,
                                  const std::string& history_option, bool quiet);

}  // namespace tarnwick
