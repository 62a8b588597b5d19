#include "document/read_documents.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

namespace tarnwick {
namespace {

// What a remembered run costs: its entry, its id and texts, the map's node.
std::size_t entry_bytes(const std::string& id, const RunFigures& figures, std::string_view source) {
  const auto text = [](const std::optional<std::string>& value) {
    return value ? value->size() : 0;
  };
  return sizeof(RunFigures) + 128 + id.size() + source.size() + figures.reason.size() +
         text(figures.hostname) + text(figures.cpu_model) + text(figures.arch) +
         figures.library_version.size();
}

std::string shown(const std::optional<double>& value) {
  return value ? fmt::format("{}", *value) : std::string("null");
}
std::string shown(const std::optional<std::string>& value) {
  return value ? "'" + *value + "'" : std::string("null");
}
std::string shown(const std::optional<UtcMillis>& value) {
  return value ? utc_text(*value, true) : std::string("null");
}
template <typename Value>
std::string shown(const Value& value) {
  return fmt::format("{}", value);
}

}  // namespace

void Refusals::add(std::string reason) {
  if (listed_.size() < MAX_LISTED_REFUSALS) {
    listed_.push_back(std::move(reason));
  } else {
    ++unlisted_;
  }
}

std::string Refusals::unlisted_note() const {
  if (unlisted_ == 0) return {};
  return fmt::format("... and {} more left out (only the first {} are listed)", unlisted_,
                     MAX_LISTED_REFUSALS);
}

RunFigures figures_of(const LoadedDocument& document, const LoadedRun& run) {
  RunFigures figures;
  figures.label = run.label;
  figures.repetition = run.repetition;
  figures.status = run.status;
  figures.reason = run.reason;
  figures.threads = run.threads;
  figures.mean_rate = run.mean_rate;
  figures.cv_percent = run.cv_percent;
  figures.unstable = run.unstable;
  figures.steal_percent = run.steal_percent;
  figures.other_cpus = run.other_cpus;
  figures.in_container = run.in_container;
  figures.measured_seconds = run.measured_seconds;
  figures.operations = run.operations;
  figures.checksum = run.checksum;
  figures.sample_count = run.sample_count;
  figures.samples_digest = run.samples_digest;
  figures.started_at = run.started_at;
  figures.ended_at = run.ended_at;
  figures.hostname = document.hostname;
  figures.cpu_model = document.cpu_model;
  figures.arch = document.arch;
  figures.library_version = document.library_version;
  return figures;
}

std::optional<std::string> first_difference(const RunFigures& a, const RunFigures& b) {
  std::optional<std::string> found;
  const auto check = [&found](const char* name, const auto& x, const auto& y) {
    if (!found && !(x == y)) found = fmt::format("{} {} and {}", name, shown(x), shown(y));
  };
  check("mean_rate", a.mean_rate, b.mean_rate);
  check("label", a.label, b.label);
  check("repetition", a.repetition, b.repetition);
  check("status", std::string(name(a.status)), std::string(name(b.status)));
  check("reason", a.reason, b.reason);
  check("threads", a.threads, b.threads);
  check("cv_percent", a.cv_percent, b.cv_percent);
  check("unstable", a.unstable, b.unstable);
  check("steal_percent", a.steal_percent, b.steal_percent);
  check("other_cpus", a.other_cpus, b.other_cpus);
  check("in_container", a.in_container, b.in_container);
  check("measured_seconds", a.measured_seconds, b.measured_seconds);
  check("operations", a.operations, b.operations);
  check("checksum", a.checksum, b.checksum);
  check("sample_count", a.sample_count, b.sample_count);
  check("started", a.started_at, b.started_at);
  check("ended", a.ended_at, b.ended_at);
  check("hostname", a.hostname, b.hostname);
  check("CPU model", a.cpu_model, b.cpu_model);
  check("arch", a.arch, b.arch);
  check("library version", a.library_version, b.library_version);
  if (!found && a.samples_digest != b.samples_digest) found = std::string("the samples");
  return found;
}

SeenRuns::Seen SeenRuns::offer(const LoadedDocument& document, const LoadedRun& run,
                               std::string_view source) {
  if (run.id.empty()) return Seen::first;
  RunFigures figures = figures_of(document, run);
  const auto found = runs_.find(run.id);
  if (found == runs_.end()) {
    if (budget_ != nullptr && !budget_->take(entry_bytes(run.id, figures, source))) {
      over_budget_ = true;
      return Seen::first;
    }
    runs_.emplace(run.id, Entry{std::move(figures), std::string(source), false});
    return Seen::first;
  }
  Entry& entry = found->second;
  if (entry.conflict) return Seen::conflict;
  if (entry.figures == figures) return Seen::again;
  conflict(run.id, entry, figures, source);
  return Seen::conflict;
}

void SeenRuns::conflict(const std::string& id, Entry& entry, const RunFigures& figures,
                        std::string_view source) {
  entry.conflict = true;
  const auto difference = first_difference(figures, entry.figures);
  conflicts_.push_back(fmt::format("run {}: {} gives it other figures than {} ({}); both left out",
                                   id, source, entry.source, difference.value_or("?")));
}

std::size_t SeenRuns::keep_new(LoadedDocument& document, std::string_view source) {
  std::size_t again = 0;
  std::vector<LoadedRun> kept;
  kept.reserve(document.runs.size());
  for (LoadedRun& run : document.runs) {
    const Seen seen = offer(document, run, source);
    if (seen == Seen::first) kept.push_back(std::move(run));
    if (seen == Seen::again) ++again;
  }
  document.runs = std::move(kept);
  return again;
}

void SeenRuns::cross_check(SeenRuns& other) {
  for (auto& [id, theirs] : other.runs_) {
    const auto found = runs_.find(id);
    if (found == runs_.end() || found->second.figures == theirs.figures) continue;
    Entry& ours = found->second;
    if (!theirs.conflict) other.conflict(id, theirs, ours.figures, ours.source);
    if (!ours.conflict) conflict(id, ours, theirs.figures, theirs.source);
  }
}

bool SeenRuns::in_conflict(const std::string& id) const {
  const auto found = runs_.find(id);
  return found != runs_.end() && found->second.conflict;
}

void SeenRuns::each_run(const std::function<void(const std::string& id, const RunFigures& figures,
                                                 std::string_view source)>& visit) const {
  for (const auto& [id, entry] : runs_) {
    if (!entry.conflict) visit(id, entry.figures, entry.source);
  }
}

void SeenRuns::drop_conflicts(std::vector<LoadedDocument>& documents) const {
  if (conflicts_.empty()) return;
  std::erase_if(documents, [this](LoadedDocument& document) {
    const bool had_runs = !document.runs.empty();
    std::erase_if(document.runs, [this](const LoadedRun& run) { return in_conflict(run.id); });
    return had_runs && document.runs.empty();
  });
}

std::string document_source(const std::string& file_name, std::size_t index) {
  return index <= 1 ? file_name : fmt::format("{} (document {})", file_name, index);
}

ReadDocuments read_documents_file(const std::string& path, ReadOptions options, SeenRuns& seen,
                                  MemoryBudget& budget) {
  ReadDocuments result;
  auto opened = InputFile::open(path);
  if (auto* reason = std::get_if<std::string>(&opened)) {
    result.left_out.add(std::move(*reason));
    return result;
  }
  const InputFile& file = std::get<InputFile>(opened);
  options.budget = &budget;
  DocumentReader reader(file, options);
  std::size_t count = 0;
  while (auto item = reader.next()) {
    ++count;
    if (auto* reason = std::get_if<std::string>(&*item)) {
      result.left_out.add(file.name() + ": " + *reason);
      if (reader.over_budget()) result.over_budget = true;
      continue;
    }
    LoadedDocument& document = std::get<LoadedDocument>(*item);
    const bool had_runs = !document.runs.empty();
    result.repeated_runs += seen.keep_new(document, document_source(file.name(), count));
    if (seen.over_budget() || !budget.take(document.held_bytes)) {
      result.over_budget = true;
      break;
    }
    if (had_runs && document.runs.empty()) continue;
    result.documents.push_back(std::move(document));
  }
  if (count == 0) result.left_out.add(file.name() + ": empty: no JSON text");
  return result;
}

}  // namespace tarnwick
