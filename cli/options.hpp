// The command line: what the user asked for, or the text and exit status
// that answer a request for help or a usage error.
#pragma once

#include <optional>
#include <string>

namespace tarnwick {

// Exit status of a bad command line.
inline constexpr int EXIT_USAGE = 64;

struct Options {
  bool all_cpus = false;
  bool both = false;  // one worker, then all CPUs
  bool json = false;
  bool quiet = false;
  bool version = false;
  // Absent: the library's default. Present: passed on as given, valid or not.
  std::optional<double> warmup_seconds;
  std::optional<double> measure_seconds;
  std::string csv_path;  // empty: no file
  std::string plot_path;
};

struct CommandLine {
  std::optional<Options> options;  // absent: print the texts below and exit
  int exit_code = 0;
  std::string out;  // for standard output (help)
  std::string err;  // for standard error (usage errors, with a hint)
};

[[nodiscard]] CommandLine parse_command_line(int argc, const char* const* argv);

}  // namespace tarnwick
