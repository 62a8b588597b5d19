#pragma once

// A finished run's way into the history (`tarnwick --save`), and the runs
// that --save had to keep pending because the history could not take them.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/history.hpp"

namespace tarnwick {

struct SavedRuns {
  std::string path;  // the history's file
  SaveCounts counts;
  // Where the run waits when the history could not take it now or here
  // (locked past the wait, full, read-only); nothing was stored then.
  std::optional<std::string> pending;
};

// Stores the runs of a result document's text in the history that
// `history_option` (--history as given; empty: the default place) names,
// first storing any runs left pending. A history that cannot take the run
// now or here gets it kept in a pending file (said on standard error); on a
// history that refuses it, or when it cannot be kept either, the message.
[[nodiscard]] std::variant<SavedRuns, std::string> save_document(std::string_view document,
                                                                 const std::string& history_option);

// The pending files of a history, where --save may have left runs.
[[nodiscard]] std::vector<std::string> pending_files(const std::string& history);

// Stores the runs an earlier --save left pending, then removes them from
// pending. A pending file that cannot be stored stays for the next command
// that writes the history, with a warning; the command goes on.
void store_pending(History& history);

// How long --save waits for the history's lock before keeping the run
// pending: 60 s, or TARNWICK_HISTORY_WAIT_MS (for tests of the wait).
[[nodiscard]] std::chrono::milliseconds save_wait();

}  // namespace tarnwick
