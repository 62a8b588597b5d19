#include "store/documents.hpp"

#include <fmt/format.h>

#include <utility>

namespace tarnwick {

std::variant<std::vector<LoadedDocument>, std::string> history_entries(std::string_view text) {
  // All of them are held at once: within the budget of any input.
  MemoryBudget budget;
  ReadOptions options = HISTORY_READING;
  options.budget = &budget;
  DocumentReader reader(text, options);
  std::vector<LoadedDocument> documents;
  while (auto item = reader.next()) {
    if (auto* reason = std::get_if<std::string>(&*item)) return std::move(*reason);
    if (!budget.take(std::get<LoadedDocument>(*item).held_bytes)) {
      return fmt::format("its documents need more than the {} MiB memory budget",
                         MEMORY_BUDGET >> 20);
    }
    documents.push_back(std::get<LoadedDocument>(std::move(*item)));
  }
  if (documents.empty()) return std::string("empty: no JSON text");
  return documents;
}

}  // namespace tarnwick
