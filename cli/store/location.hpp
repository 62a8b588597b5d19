// Where the history lives when the command line does not say.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// What the location is chosen from; an empty text counts as unset.
struct LocationInputs {
  std::string option;         // --history FILE
  std::string variable;       // TARNWICK_HISTORY
  std::string xdg_data_home;  // ignored unless absolute, as the XDG rules say
  std::string home;           // HOME; ignored unless absolute
  std::string account_home;   // the home directory of the password database
};

// --history, else TARNWICK_HISTORY, else $XDG_DATA_HOME/tarnwick/history.db,
// else <home>/.local/share/tarnwick/history.db with HOME or, for a service
// started without one, the account's home. Nothing when no home is known.
[[nodiscard]] std::optional<std::string> choose_history_path(const LocationInputs& inputs);

// The same from this process's environment and account.
[[nodiscard]] std::optional<std::string> history_path(std::string_view option);

// Where a run that --save could not store waits when the history's folder
// cannot take it: $XDG_STATE_HOME/tarnwick (when absolute), else
// <home>/.local/state/tarnwick. Nothing when no home is known.
[[nodiscard]] std::optional<std::string> pending_directory();

inline constexpr std::string_view NO_HISTORY_PATH =
    "no place for the history: HOME is unset and this account has no home directory; "
    "give --history FILE or set TARNWICK_HISTORY";

}  // namespace tarnwick
