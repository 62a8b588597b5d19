#include "store/location.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tarnwick {
namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool absolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

std::string account_home() {
  const long size_hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size_hint > 0 ? static_cast<size_t>(size_hint) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

std::optional<std::string> choose_history_path(const LocationInputs& inputs) {
  if (!inputs.option.empty()) return inputs.option;
  if (!inputs.variable.empty()) return inputs.variable;
  if (absolute(inputs.xdg_data_home)) return inputs.xdg_data_home + "/tarnwick/history.db";
  for (const std::string* home : {&inputs.home, &inputs.account_home}) {
    if (absolute(*home)) return *home + "/.local/share/tarnwick/history.db";
  }
  return std::nullopt;
}

std::optional<std::string> history_path(std::string_view option) {
  LocationInputs inputs{std::string(option),
                        variable("TARNWICK_HISTORY"),
                        variable("XDG_DATA_HOME"),
                        variable("HOME"),
                        {}};
  // The password database is asked only when the environment has no home.
  if (inputs.option.empty() && inputs.variable.empty() && !absolute(inputs.xdg_data_home) &&
      !absolute(inputs.home)) {
    inputs.account_home = account_home();
  }
  return choose_history_path(inputs);
}

std::optional<std::string> pending_directory() {
  const std::string state = variable("XDG_STATE_HOME");
  if (absolute(state)) return state + "/tarnwick";
  std::string home = variable("HOME");
  if (!absolute(home)) home = account_home();
  if (!absolute(home)) return std::nullopt;
  return home + "/.local/state/tarnwick";
}

}  // namespace tarnwick
