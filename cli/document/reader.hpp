// Reads a result document back: the current schema and the documents of
// 0.0.2 (no schema_version, host block only, warnings as strings), so that
// compare, history and report accept every document the program ever wrote.
//
// The reader streams: it keeps only the fields below, and the per-second
// samples only when asked, so reading many large documents costs time in
// proportion to their size and memory in proportion to what is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnwick {

struct LoadedRun {
  // The document's id; for 0.0.2 runs "h" + 32 hex digits of a hash of the
  // run's content (keys, strings and numbers as written, whitespace aside), so
  // the same run read twice, or re-indented, gets the same id.
  std::string id;
  std::string label;
  unsigned repetition = 1;  // 1 in 0.0.2 documents
  uint32_t status = 2;      // 0 completed, 1 cancelled, 2 failed
  std::string reason;
  uint32_t threads = 0;
  std::optional<double> mean_rate, cv_percent;  // null unless completed / has_cv
  bool unstable = false;
  double measured_seconds = 0;
  uint64_t operations = 0;
  uint64_t checksum = 0;
  std::optional<std::string> started, ended;  // absent in 0.0.2
  std::vector<double> rates, durations;       // per-second samples, only when asked
  std::string json;  // the run's object as compact JSON text, only with keep_json
};

struct LoadedDocument {
  int schema_version = 0;  // 0: a 0.0.2 document
  std::string status;      // "completed", "cancelled" or "failed"
  std::string library_version;
  // The environment's facts; for 0.0.2 documents only cpu_model (from the
  // host block), the host being otherwise unknown.
  std::optional<std::string> hostname, timestamp, cpu_model, arch;
  std::vector<LoadedRun> runs;
  // Compact JSON text of the "environment" and "host" objects, only with
  // keep_json (empty when the document has none).
  std::string environment_json, host_json;
};

struct ReadOptions {
  bool samples = false;    // fill LoadedRun::rates and durations
  bool keep_json = false;  // fill the *json fields
};

// Either the document or a reason ("not JSON at line 3, column 5: ...",
// "unknown schema_version 7", "truncated at line 40", "runs[1].threads:
// expected a whole number, got a string", ...). Never throws.
[[nodiscard]] std::variant<LoadedDocument, std::string> read_document(std::string_view text,
                                                                      ReadOptions options = {});

// Same from a file, or standard input for "-"; the reason of a file that
// cannot be read names it.
[[nodiscard]] std::variant<LoadedDocument, std::string> read_document_file(
    const std::string& path, ReadOptions options = {});

}  // namespace tarnwick
