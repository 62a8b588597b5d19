#include "store/documents.hpp"

#include <utility>

namespace tarnwick {

std::variant<std::vector<LoadedDocument>, std::string> history_entries(std::string_view text) {
  DocumentReader reader(text, HISTORY_READING);
  std::vector<LoadedDocument> documents;
  while (auto item = reader.next()) {
    if (auto* reason = std::get_if<std::string>(&*item)) return std::move(*reason);
    documents.push_back(std::get<LoadedDocument>(std::move(*item)));
  }
  if (documents.empty()) return std::string("empty: no JSON text");
  return documents;
}

}  // namespace tarnwick
