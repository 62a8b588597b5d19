// The options of `history --changes` and `history --html`, and what they
// do; commands/history.cpp declares them with the history's other options
// and hands over.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>

#include "output/atomic_file.hpp"

namespace tarnwick {

class History;

struct ChangesOptions {
  bool changes = false;                  // --changes
  std::string since;                     // --since DATE; empty: all runs
  double min_change = 2;                 // --min-change PCT
  std::optional<double> fail_on_change;  // --fail-on-change PCT
  bool either = false;                   // --either: a rise fails too
  NamedOutput html{"--html", {}, false};
  NamedOutput junit{"--junit", {}, false};
  NamedOutput markdown{"--markdown", {}, false};
};

// Declares the options on the history command.
void add_changes_options(CLI::App& command, ChangesOptions& options);

// Whether the history command is to find changes or write the page.
[[nodiscard]] bool wants_changes(const ChangesOptions& options);

struct ChangesRequest {
  const ChangesOptions* options = nullptr;
  std::optional<std::string> host, label;
  bool json = false;
  std::optional<int64_t> last;  // --last, when given
};

// Runs --changes and/or --html on the open history; the exit status.
[[nodiscard]] int changes_command(History& history, const ChangesRequest& request);

}  // namespace tarnwick
