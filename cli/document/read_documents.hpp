// Many documents read as one set: runs known by their ids, a run id given two
// sets of figures named and left out, refused documents listed within bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "document/reader.hpp"

namespace tarnwick {

// How many refused documents a command lists; the rest are counted.
inline constexpr std::size_t MAX_LISTED_REFUSALS = 100;

// The reasons documents were left out: the first MAX_LISTED_REFUSALS kept,
// the rest counted, so that no input can fill memory or a terminal with them.
class Refusals {
 public:
  void add(std::string reason);
  [[nodiscard]] const std::vector<std::string>& listed() const { return listed_; }
  [[nodiscard]] std::size_t count() const { return listed_.size() + unlisted_; }
  [[nodiscard]] std::size_t unlisted() const { return unlisted_; }
  [[nodiscard]] bool empty() const { return count() == 0; }
  // "... and 12 more left out" when some were not listed; empty otherwise.
  [[nodiscard]] std::string unlisted_note() const;

 private:
  std::vector<std::string> listed_;
  std::size_t unlisted_ = 0;
};

// What a document says of one run, as far as the reader checks it: two
// documents that give one run id different figures are in conflict.
struct RunFigures {
  std::string label;
  unsigned repetition = 1;
  Status status = Status::failed;
  std::string reason;
  uint32_t threads = 0;
  std::optional<double> mean_rate, cv_percent, steal_percent, other_cpus;
  bool unstable = false, in_container = false;
  double measured_seconds = 0;
  uint64_t operations = 0, checksum = 0, sample_count = 0, samples_digest = 0;
  std::optional<UtcMillis> started_at, ended_at;
  std::optional<std::string> hostname, cpu_model, arch;
  std::string library_version;
  bool operator==(const RunFigures&) const = default;
};

[[nodiscard]] RunFigures figures_of(const LoadedDocument& document, const LoadedRun& run);

// The first field in which `a` and `b` differ, both values shown
// ("mean_rate 54765 and 164295"); nothing when they are the same.
[[nodiscard]] std::optional<std::string> first_difference(const RunFigures& a, const RunFigures& b);

// Runs are known by their ids: a run met again with the same figures (the
// same document in two files, a log read twice) counts once; a run id met
// with other figures is a conflict, and every run of that id is left out,
// whichever came first.
class SeenRuns {
 public:
  enum class Seen { first, again, conflict };
  // What is remembered of each run is taken from `budget`, if any.
  explicit SeenRuns(MemoryBudget* budget = nullptr) : budget_(budget) {}

  // Offers a run of `document`, read from `source` ("'a.json'", "'a.json'
  // (document 3)"). A run without an id is always first.
  Seen offer(const LoadedDocument& document, const LoadedRun& run, std::string_view source);
  // Offers every run of `document`, keeping the first ones; returns how
  // many were met again (conflicts are counted in conflicts()).
  std::size_t keep_new(LoadedDocument& document, std::string_view source);
  // Runs in `other` (the other side of a comparison) whose ids are here
  // with other figures become conflicts on both sides.
  void cross_check(SeenRuns& other);
  [[nodiscard]] bool in_conflict(const std::string& id) const;
  // Each run id met and not in conflict, with its figures and where it was
  // first read.
  void each_run(const std::function<void(const std::string& id, const RunFigures& figures,
                                         std::string_view source)>& visit) const;
  // Removes the runs in conflict, kept before the conflict was met, from
  // `documents`, and the documents they leave without runs.
  void drop_conflicts(std::vector<LoadedDocument>& documents) const;
  // One message a run id in conflict: "run <id>: 'b.json' gives mean_rate
  // 164295 where 'a.json' gives 54765; both left out".
  [[nodiscard]] const std::vector<std::string>& conflicts() const { return conflicts_; }
  // True once what is remembered passed the budget: the command must stop.
  [[nodiscard]] bool over_budget() const { return over_budget_; }

 private:
  struct Entry {
    RunFigures figures;
    std::string source;
    bool conflict = false;
  };
  void conflict(const std::string& id, Entry& entry, const RunFigures& figures,
                std::string_view source);

  std::unordered_map<std::string, Entry> runs_;
  std::vector<std::string> conflicts_;
  MemoryBudget* budget_;
  bool over_budget_ = false;
};

// Every document of the file at `path` ("-": standard input) whose runs
// are not all repeats, within `budget`; `left_out` gets a message for each
// refused document.
struct ReadDocuments {
  std::vector<LoadedDocument> documents;
  Refusals left_out;  // "'x.json': document 2 (line 40): ..."
  std::size_t repeated_runs = 0;
  bool over_budget = false;  // reading stopped: the budget was spent
};
[[nodiscard]] ReadDocuments read_documents_file(const std::string& path, ReadOptions options,
                                                SeenRuns& seen, MemoryBudget& budget);

// How a document is named in messages: the file's name, and its place when
// it is not the first of its file.
[[nodiscard]] std::string document_source(const std::string& file_name, std::size_t index);

}  // namespace tarnwick
