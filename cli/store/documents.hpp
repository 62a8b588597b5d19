// Result documents as the history stores them: read through the program's
// document reader, so ids (a content hash for 0.0.2 documents) are the same
// wherever a document is read, and what is stored is what was validated.
// The history takes the reader's LoadedDocument as it is.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document/reader.hpp"

namespace tarnwick {

// How the history reads a document: with its samples and its JSON.
inline constexpr ReadOptions HISTORY_READING{true, true};

// Every document of `text` (one, JSON lines, or several one after
// another); the text is the reason the first refused one was refused.
[[nodiscard]] std::variant<std::vector<LoadedDocument>, std::string> history_entries(
    std::string_view text);

}  // namespace tarnwick
