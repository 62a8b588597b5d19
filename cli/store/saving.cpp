#include "store/saving.hpp"

#include <fmt/format.h>

#include <cstdlib>

#include "output/messages.hpp"
#include "store/documents.hpp"
#include "store/location.hpp"
#include "store/pending.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// Keeps a run the history could not take now or here (locked, full,
// read-only) in a pending file: beside the history, else in the state
// folder. The message when it cannot be kept, or when the history refused
// it (not a history, damaged, newer): that one is left alone.
std::variant<SavedRuns, std::string> keep_pending_run(const std::string& history,
                                                      std::string_view document,
                                                      const WriteFailure& failure) {
  if (!failure.unavailable) return failure.text;
  // One line a document: the pending file is JSON lines, counted by its newlines.
  while (!document.empty() && document.back() == '\n') document.remove_suffix(1);
  const auto kept = keep_pending(pending_files(history), std::string(document));
  if (kept.index() == 1) {
    return fmt::format("{}; the run could not be kept pending either ({})", failure.text,
                       std::get<1>(kept));
  }
  tell(
      "tarnwick: warning: {}\n"
      "tarnwick: the run is kept in '{}'; the next command that writes the history stores it\n",
      failure.text, printable(std::get<0>(kept)));
  return SavedRuns{history, SaveCounts{}, std::get<0>(kept)};
}

}  // namespace

std::chrono::milliseconds save_wait() {
  const char* text = std::getenv("TARNWICK_HISTORY_WAIT_MS");
  if (text != nullptr) {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end != text && *end == '\0' && value >= 0 && value <= 3600000) {
      return std::chrono::milliseconds(value);
    }
  }
  return std::chrono::milliseconds(60000);
}

std::vector<std::string> pending_files(const std::string& history) {
  std::vector<std::string> files{pending_beside(history)};
  if (const auto directory = pending_directory()) files.push_back(pending_in(*directory, history));
  return files;
}

void store_pending(History& history) {
  for (const std::string& file : pending_files(history.path())) {
    auto taken = PendingFile::take(file);
    if (auto* reason = std::get_if<std::string>(&taken)) {
      tell("tarnwick: warning: pending runs not stored: {}\n", *reason);
      continue;
    }
    auto& pending = std::get<std::optional<PendingFile>>(taken);
    if (!pending) continue;
    if (pending->text().find_first_not_of(" \t\r\n") == std::string::npos) {
      pending->done();
      continue;
    }
    auto entries = history_entries(pending->text());
    if (auto* reason = std::get_if<std::string>(&entries)) {
      tell("tarnwick: warning: pending runs in '{}' not stored: {}; the file is left as it is\n",
           printable(file), *reason);
      continue;
    }
    const auto saved = history.save(std::get<std::vector<LoadedDocument>>(entries));
    if (auto* failure = std::get_if<WriteFailure>(&saved)) {
      tell("tarnwick: warning: pending runs in '{}' not stored: {}\n", printable(file),
           failure->text);
      continue;
    }
    pending->done();
    const size_t stored = std::get<SaveCounts>(saved).stored;
    tell("tarnwick: stored {} from '{}' in {}\n", plural(stored, "pending run"), printable(file),
         printable(history.path()));
  }
}

std::variant<SavedRuns, std::string> save_document(std::string_view document,
                                                   const std::string& history_option) {
  const auto path = history_path(history_option);
  if (!path) return std::string(NO_HISTORY_PATH);
  auto entries = history_entries(document);
  if (auto* reason = std::get_if<std::string>(&entries)) {
    return fmt::format("cannot store the run: {}", *reason);
  }
  auto opened = History::open_for_writing(*path, save_wait());
  if (auto* failure = std::get_if<WriteFailure>(&opened)) {
    return keep_pending_run(*path, document, *failure);
  }
  History& history = std::get<History>(opened);
  store_pending(history);
  const auto saved = history.save(std::get<std::vector<LoadedDocument>>(entries));
  if (auto* failure = std::get_if<WriteFailure>(&saved)) {
    return keep_pending_run(*path, document, *failure);
  }
  return SavedRuns{*path, std::get<SaveCounts>(saved), std::nullopt};
}

}  // namespace tarnwick
