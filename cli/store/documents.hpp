// Result documents as the history stores them: read through the program's
// document reader, so ids (a content hash for 0.0.2 documents) are the same
// wherever a document is read.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/history.hpp"

namespace tarnwick {

// One document (as --json and --output write it), or JSON lines of them (as
// `history --export` writes them); the text is the reason it was refused.
[[nodiscard]] std::variant<std::vector<DocumentEntry>, std::string> history_entries(
    std::string_view text);

}  // namespace tarnwick
