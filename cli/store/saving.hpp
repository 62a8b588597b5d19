#pragma once

// A finished run's way into the history (`tarnwick --save`).

#include <string>
#include <string_view>
#include <variant>

#include "store/history.hpp"

namespace tarnwick {

struct SavedRuns {
  std::string path;  // the history's file
  SaveCounts counts;
};

// Stores the runs of a result document's text in the history that
// `history_option` (--history as given; empty: the default place) names;
// on failure, the message.
[[nodiscard]] std::variant<SavedRuns, std::string> save_document(std::string_view document,
                                                                 const std::string& history_option);

}  // namespace tarnwick
