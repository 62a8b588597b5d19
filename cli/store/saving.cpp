#include "store/saving.hpp"

#include <fmt/format.h>

#include "store/documents.hpp"
#include "store/location.hpp"

namespace tarnwick {

std::variant<SavedRuns, std::string> save_document(std::string_view document,
                                                   const std::string& history_option) {
  const auto path = history_path(history_option);
  if (!path) return std::string(NO_HISTORY_PATH);
  auto entries = history_entries(document);
  if (auto* reason = std::get_if<std::string>(&entries)) {
    return fmt::format("cannot store the run: {}", *reason);
  }
  auto opened = History::open(*path, Access::write);
  if (auto* failure = std::get_if<std::string>(&opened)) return std::move(*failure);
  auto saved = std::get<History>(opened).save(std::get<std::vector<DocumentEntry>>(entries));
  if (auto* failure = std::get_if<std::string>(&saved)) return std::move(*failure);
  return SavedRuns{*path, std::get<SaveCounts>(saved)};
}

}  // namespace tarnwick
