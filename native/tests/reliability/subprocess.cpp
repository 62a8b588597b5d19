#include "subprocess.hpp"

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace tarnwick::reliability {

CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    result.output.append(buffer.data(), got);
  }
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string field_of(const std::string& output, const std::string& key) {
  const std::string tag = key + "=";
  std::size_t at = output.find(tag);
  // Only whole keys: the tag must start the text or follow a separator.
  while (at != std::string::npos && at != 0 && output[at - 1] != ' ' && output[at - 1] != '\n') {
    at = output.find(tag, at + 1);
  }
  if (at == std::string::npos) return {};
  const std::size_t begin = at + tag.size();
  // The reason is last on its line and may hold spaces; other values do not.
  const char stop = key == "reason" ? '\n' : ' ';
  std::size_t end = output.find_first_of(std::string(1, stop) + "\n", begin);
  if (end == std::string::npos) end = output.size();
  return output.substr(begin, end - begin);
}

}  // namespace tarnwick::reliability
