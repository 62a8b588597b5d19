// Reads result documents back: the current schema and the documents of
// 0.0.2 (no schema_version, host block only, warnings as strings), so that
// compare, history and report accept every document the program ever wrote.
//
// Documents are untrusted input from every machine of a fleet. The reader
// streams: it reads in chunks, never a whole file, keeps only the fields
// below (the samples and the JSON text only when asked), refuses a document
// nested deeper than MAX_NESTING or larger than MAX_DOCUMENT_BYTES, and
// checks every field it keeps against the schema (types, enums, ranges,
// UTF-8, run ids, UTC times). Across fields it checks exactly this:
// sample_count is the number of samples, every sample lasts > 0 s, sample
// times increase, and the samples' operations add up to the run's. A file
// may hold any number of documents: one per line, concatenated, or
// pretty-printed one after another. A refused document is refused whole,
// with the path of its first bad field, and reading goes on with the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document/input_file.hpp"
#include "tarnwick.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {

// Larger than any document the program writes by a wide margin (a run of a
// day has 86,400 samples, about 7 MiB), small enough to bound what one
// document can cost.
inline constexpr std::size_t MAX_DOCUMENT_BYTES = std::size_t{256} << 20;
// The program's documents are four levels deep; other keys may nest a little.
inline constexpr std::size_t MAX_NESTING = 64;
// More workers than any machine has: a count beyond it is a damaged document.
inline constexpr uint32_t MAX_THREADS = 1u << 20;
// The longest string, key or number a document may hold: far beyond any the
// program writes, and what bounds the parser's own memory for one.
inline constexpr std::size_t MAX_STRING_BYTES = std::size_t{1} << 20;
// The longest free text kept (host name, CPU model and architecture,
// library version, a run's reason): what a person can read, never more.
inline constexpr std::size_t MAX_TEXT_BYTES = 1024;
// The most a command holds of what it reads: the documents and runs it
// keeps and the document being read, estimated as allocated (a document's
// text is never held whole). Above MAX_DOCUMENT_BYTES, so that one document
// of any size the limit allows can be read with its samples.
inline constexpr std::size_t MEMORY_BUDGET = std::size_t{512} << 20;

// What is left of a command's memory budget.
class MemoryBudget {
 public:
  explicit MemoryBudget(std::size_t limit = MEMORY_BUDGET) : limit_(limit) {}
  // Takes `bytes` for something kept; false, taking nothing, when that
  // would pass the limit.
  [[nodiscard]] bool take(std::size_t bytes) {
    if (bytes > limit_ - used_) return false;
    used_ += bytes;
    return true;
  }
  [[nodiscard]] std::size_t left() const { return limit_ - used_; }
  [[nodiscard]] std::size_t limit() const { return limit_; }

 private:
  std::size_t limit_;
  std::size_t used_ = 0;
};

// A sample's noise as its document gives it: what competed with the run
// that second, each figure absent where the machine had no source.
struct LoadedSecondNoise {
  std::optional<double> steal_percent, other_cpus, other_cpus_run, cpu_pressure_percent,
      throttled_percent, frequency_mhz;
  std::optional<uint64_t> throttled_periods, thermal_events;
  bool disturbed = false;
};

struct LoadedRun {
  // The document's id, 32 lower-case hex digits; for 0.0.2 runs "h" + 32
  // hex digits of a hash of the run's validated keys and values in one
  // canonical form, the one the history writes back (so the same run read
  // twice, re-indented, or exported and imported again gets the same id, and
  // the previous release's stored ids still match).
  std::string id;
  std::string label;        // "single" or "all-cpus"
  unsigned repetition = 1;  // 1 in 0.0.2 documents
  Status status = Status::failed;
  std::string reason;
  uint32_t threads = 0;
  std::optional<double> mean_rate, cv_percent;  // finite and >= 0 when present
  bool unstable = false;
  double measured_seconds = 0;
  uint64_t operations = 0;
  uint64_t checksum = 0;
  uint64_t sample_count = 0;  // the number of samples
  // The run's noise record (absent in older documents): other guests'
  // steal in % of CPU time, other processes' CPU time in CPUs, and whether
  // the figures are a container's host's.
  std::optional<double> steal_percent, other_cpus;
  bool in_container = false;
  std::optional<uint64_t> disturbed_seconds;      // the noise record's count, when it has one
  std::optional<std::string> started, ended;      // absent in 0.0.2
  std::optional<UtcMillis> started_at, ended_at;  // `started` and `ended`, parsed
  uint64_t samples_digest = 0;             // of the samples' values, to tell two series apart
  std::vector<double> rates, durations;    // per-second samples, only with `samples`
  std::vector<double> times;               // only with keep_json
  std::vector<int64_t> sample_operations;  // only with keep_json
  // Only with keep_json: each sample's noise, nullopt where it has none.
  std::vector<std::optional<LoadedSecondNoise>> sample_noise;
  std::string json;  // with keep_json: the run's object as compact JSON, "samples" empty
  // Where in `json` the samples' empty array is; npos when the run had none.
  std::size_t samples_at = std::string::npos;
};

struct LoadedDocument {
  int schema_version = 0;        // 0: a 0.0.2 document
  std::optional<Status> status;  // absent in 0.0.2 documents
  std::string library_version;
  // The environment's facts; for 0.0.2 documents only cpu_model (from the
  // host block), the host being otherwise unknown.
  std::optional<std::string> hostname, timestamp, cpu_model, arch;
  std::optional<UtcMillis> timestamp_at;   // `timestamp`, parsed
  std::optional<uint32_t> cpus_available;  // host.cpus_available: the CPUs the runs could use
  std::vector<LoadedRun> runs;
  // With keep_json: the whole document as compact JSON, its "runs" empty.
  std::string json;
  std::size_t runs_at = 0;  // where in `json` the runs' empty array is
  // What it holds, as the reader estimates it: take it from the budget to keep it.
  std::size_t held_bytes = 0;
};

struct ReadOptions {
  bool samples = false;    // fill LoadedRun::rates and durations
  bool keep_json = false;  // fill the json fields, times and sample_operations
  // What is left for the document being read; MEMORY_BUDGET when none.
  const MemoryBudget* budget = nullptr;
  // The time of reading, which no run may start a day after; now when none.
  std::optional<UtcMillis> now = std::nullopt;
};

// Reads the documents of one input in order. Never throws.
class DocumentReader {
 public:
  // Reads `fd` (not owned, not closed) in chunks.
  DocumentReader(int fd, ReadOptions options);
  // Reads `file`; with `copy_fd`, writes every byte it reads there too (to
  // keep what a pipe gave for a second pass).
  DocumentReader(const InputFile& file, ReadOptions options, int copy_fd = -1);
  // Reads `text`, which must outlive the reader.
  DocumentReader(std::string_view text, ReadOptions options);
  // A temporary string would be gone before the first read.
  DocumentReader(std::string&& text, ReadOptions options) = delete;
  DocumentReader(const DocumentReader&) = delete;
  DocumentReader& operator=(const DocumentReader&) = delete;
  ~DocumentReader();

  // The next document, or why it was refused ("document 2 (line 40):
  // runs[0].samples[3].rate: expected a number >= 0, got -1"); nullopt when
  // the input is exhausted. After a reason that ends the input (a read
  // error, a document over the size limit), the next call returns nullopt.
  [[nodiscard]] std::optional<std::variant<LoadedDocument, std::string>> next();
  // True when reading stopped at a document that needs more memory than
  // the budget left: the command cannot do its job within it.
  [[nodiscard]] bool over_budget() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Either the one document of `text` or the reason it cannot be read. Never throws.
[[nodiscard]] std::variant<LoadedDocument, std::string> read_document(std::string_view text,
                                                                      ReadOptions options = {});

// The one document of a file, or standard input for "-"; the reason of a file
// that cannot be read names it.
[[nodiscard]] std::variant<LoadedDocument, std::string> read_document_file(
    const std::string& path, ReadOptions options = {});

// `document` as a compact JSON document (its json with the runs, their
// samples included), which reads back to the same model. Needs a document
// read with keep_json and samples.
[[nodiscard]] std::string write_document(const LoadedDocument& document);

}  // namespace tarnwick
