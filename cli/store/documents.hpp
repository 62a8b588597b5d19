// Result documents as the history stores them: read through the program's
// document reader, so ids (a content hash for 0.0.2 documents) are the same
// wherever a document is read, and what is stored is what was validated.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document/reader.hpp"
#include "store/history.hpp"

namespace tarnwick {

// What the history keeps of a document read with samples and keep_json.
[[nodiscard]] DocumentEntry history_entry(LoadedDocument&& document);

// Every document of `text` (one, JSON lines, or several one after
// another); the text is the reason the first refused one was refused.
[[nodiscard]] std::variant<std::vector<DocumentEntry>, std::string> history_entries(
    std::string_view text);

}  // namespace tarnwick
