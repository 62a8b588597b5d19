#include "store/documents.hpp"

#include <fmt/format.h>

#include <utility>

namespace tarnwick {

DocumentEntry history_entry(LoadedDocument&& document) {
  DocumentEntry entry;
  entry.schema_version = document.schema_version;
  entry.library_version = std::move(document.library_version);
  entry.hostname = std::move(document.hostname);
  entry.timestamp = std::move(document.timestamp);
  entry.cpu_model = std::move(document.cpu_model);
  entry.arch = std::move(document.arch);
  entry.json = std::move(document.json);
  for (LoadedRun& run : document.runs) {
    RunEntry stored;
    stored.id = std::move(run.id);
    stored.label = std::move(run.label);
    stored.repetition = run.repetition;
    stored.status = run.status;
    stored.threads = run.threads;
    stored.mean_rate = run.mean_rate;
    stored.cv_percent = run.cv_percent;
    stored.unstable = run.unstable;
    stored.started = std::move(run.started);
    stored.json = std::move(run.json);
    stored.times = std::move(run.times);
    stored.durations = std::move(run.durations);
    stored.operations = std::move(run.sample_operations);
    stored.rates = std::move(run.rates);
    entry.runs.push_back(std::move(stored));
  }
  return entry;
}

std::variant<std::vector<DocumentEntry>, std::string> history_entries(std::string_view text) {
  // All of them are held at once: within the budget of any input.
  MemoryBudget budget;
  DocumentReader reader(text, ReadOptions{true, true, &budget});
  std::vector<DocumentEntry> documents;
  while (auto item = reader.next()) {
    if (auto* reason = std::get_if<std::string>(&*item)) return std::move(*reason);
    if (!budget.take(std::get<LoadedDocument>(*item).held_bytes)) {
      return fmt::format("its documents need more than the {} MiB memory budget",
                         MEMORY_BUDGET >> 20);
    }
    documents.push_back(history_entry(std::get<LoadedDocument>(std::move(*item))));
  }
  if (documents.empty()) return std::string("empty: no JSON text");
  return documents;
}

}  // namespace tarnwick
