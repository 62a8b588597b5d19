// tarnwick report PATH...: reads result documents from many machines (files
// and folders) and tells which machines are off against their twins.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "commands/command_line.hpp"

namespace tarnwick {

struct ReportOptions {
  std::vector<std::string> paths;
  bool all_runs = false;
  std::string since;  // empty: every run
  bool json = false;
  NamedOutput csv{"--csv", {}, false};  // "-": standard output
  NamedOutput plot{"--plot", {}, false};
  NamedOutput html{"--html", {}, false};
  bool strict = false;
};

// Declares the `report` subcommand; when it is chosen, `action` runs it.
// `options` must outlive the parse.
CLI::App& add_report_command(CLI::App& app, ReportOptions& options, CommandAction& action);

// Runs the report; returns the exit status (2 when nothing could be read,
// with --strict when any document was left out, or when an output failed).
[[nodiscard]] int report_command(const ReportOptions& options);

}  // namespace tarnwick
