// A stored document written back as it was read: one line of compact JSON,
// its runs and their samples streamed from the database piece by piece, so
// a run of any length is written in the memory of one piece and one row.
// The text is the one a whole-document dump of the same JSON would give.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "document/read_documents.hpp"
#include "store/database.hpp"
#include "store/history.hpp"

namespace tarnwick {

class DocumentExporter {
 public:
  // Reads through `db`, inside the caller's read transaction, a history
  // of `version` (the samples' noise is read from version 3 on).
  DocumentExporter(Database& db, ExportOutput output, int64_t version = HISTORY_SCHEMA_VERSION);

  // Writes the stored document `doc`, whose JSON (its runs empty) is
  // `text`, with the runs it still has (only the run `only_run`, when
  // given), and a newline. Warnings about runs not written go with them.
  // False once the output refused a piece. Throws a DatabaseError, or
  // std::runtime_error for stored JSON that is not a document.
  bool write(int64_t doc, const std::string& text, std::optional<int64_t> only_run = std::nullopt);

  // Hands over what is gathered; false once the output refused a piece.
  bool flush();

 private:
  using Json = nlohmann::ordered_json;
  void add(std::string_view text);
  void add_value(const Json& value);
  // `object` with its keys in their order, the value of `streamed` written
  // by `stream` in its place (or last, given null, where it has none).
  void write_object(const Json& object, std::string_view streamed,
                    const std::function<void(const Json&)>& stream);
  void write_runs(int64_t doc, std::optional<int64_t> only_run);
  void write_run(int64_t key, Json run);
  void write_samples(bool first);
  void write_sample_noise();

  ExportOutput output_;
  std::string buffer_;
  bool going_ = true;
  Statement ids_, runs_, samples_;
};

// The figures of the run stored under `key` (a row of `runs`), read back by
// the reader from its document as an export writes it; or why it cannot be
// read back. Throws a DatabaseError.
[[nodiscard]] std::variant<RunFigures, std::string> stored_figures(
    Database& db, int64_t key, int64_t version = HISTORY_SCHEMA_VERSION);

}  // namespace tarnwick
