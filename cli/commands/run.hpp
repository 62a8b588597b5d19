// The run: the program without a command measures the machine. Its options
// live on the top level of the command line.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "output/atomic_file.hpp"
#include "output/terminal.hpp"

namespace tarnwick {

struct RunOptions {
  bool all_cpus = false;
  bool both = false;  // one worker, then all CPUs
  bool json = false;
  bool quiet = false;
  bool version = false;
  unsigned long repeat = 1;
  // --precision PCT: runs until the geometric mean rate is known within
  // ±PCT %, or --max-time seconds (warm-ups included) leave no room.
  std::optional<double> precision_percent;
  double max_seconds = 600;
  std::string max_time_text;
  // Absent: the library's default. Present: passed on as given, valid or
  // not, with the text the user typed for messages.
  std::optional<double> warmup_seconds;
  std::optional<double> measure_seconds;
  std::string warmup_text;
  std::string measure_text;
  NamedOutput output{"--output", {}, false};  // the result document; "-": standard output
  NamedOutput csv{"--csv", {}, false};
  NamedOutput plot{"--plot", {}, false};
  NamedOutput prom{"--prom", {}, false};  // Prometheus text, for node_exporter's textfile collector
  ColorChoice color = ColorChoice::automatic;
  bool save = false;         // store the session in the history
  std::string history_path;  // --history; empty: the default location
};

// Declares the run's options on the program's top level, filling `options`
// as they are parsed; `options` must outlive the parse.
void add_run_options(CLI::App& app, RunOptions& options);

// Runs the benchmark as configured; returns the exit status.
[[nodiscard]] int run_command(const RunOptions& options);

}  // namespace tarnwick
