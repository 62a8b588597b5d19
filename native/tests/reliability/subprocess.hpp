#pragma once

#include <string>

namespace tarnwick::reliability {

struct CommandResult {
  int exit_code = -1;  // -1 when the command could not be run or was killed
  std::string output;  // its standard output
};

// Runs `command` through /bin/sh and collects its standard output.
[[nodiscard]] CommandResult run_command(const std::string& command);

// `text` quoted for /bin/sh.
[[nodiscard]] std::string shell_quote(const std::string& text);

// The value of `key=` in a probe's output line, or an empty text.
[[nodiscard]] std::string field_of(const std::string& output, const std::string& key);

}  // namespace tarnwick::reliability
