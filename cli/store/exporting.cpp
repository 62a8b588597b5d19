#include "store/exporting.hpp"

#include <fmt/format.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

#include "document/reader.hpp"
#include "util/json.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::ordered_json;

// A sample's value as stored: the samples' columns are untyped, so an
// integer written as one comes back as one.
Json number_at(const Statement& statement, int column) {
  if (statement.type(column) == SQLITE_INTEGER) {
    const int64_t value = statement.integer(column);
    return value >= 0 ? Json(static_cast<uint64_t>(value)) : Json(value);
  }
  return Json(statement.real(column));
}

// A sample's noise, in the order the program writes it; "disturbed" last.
constexpr std::array<std::string_view, 8> SAMPLE_NOISE_KEYS = {
    "steal_percent",     "other_cpus",        "other_cpus_run", "cpu_pressure_percent",
    "throttled_percent", "throttled_periods", "thermal_events", "frequency_mhz"};

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

DocumentExporter::DocumentExporter(Database& db, ExportOutput output, int64_t version)
    : output_(std::move(output)),
      ids_(db.prepare("SELECT id FROM runs WHERE doc = ?1 AND (?2 IS NULL OR key = ?2)")),
      runs_(db.prepare(
          "SELECT key, json FROM runs WHERE doc = ?1 AND (?2 IS NULL OR key = ?2) ORDER BY key")),
      samples_(db.prepare(fmt::format(
          "SELECT time, duration, operations, rate, {} FROM samples WHERE run = ?1 ORDER BY idx",
          version >= 3 ? "steal_percent, other_cpus, other_cpus_run, cpu_pressure_percent, "
                         "throttled_percent, throttled_periods, thermal_events, frequency_mhz, "
                         "disturbed"
                       : "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL"))) {
  buffer_.reserve(EXPORT_PIECE_BYTES + 4096);
}

void DocumentExporter::add(std::string_view text) {
  buffer_ += text;
  if (buffer_.size() >= EXPORT_PIECE_BYTES) flush();
}

// Every value is written as json_line writes it, so that the pieces put
// together are the text a dump of the whole document gives.
void DocumentExporter::add_value(const Json& value) { add(json_line(value)); }

bool DocumentExporter::flush() {
  if (going_ && !buffer_.empty()) going_ = output_(buffer_);
  buffer_.clear();
  return going_;
}

bool DocumentExporter::write(int64_t doc, const std::string& text,
                             std::optional<int64_t> only_run) {
  Json document = Json::parse(text);
  if (document.is_null()) document = Json::object();
  if (!document.is_object()) throw std::runtime_error("a stored document is not a JSON object");
  // Warnings about runs that were removed go with them.
  std::set<std::string> ids;
  ids_.reset().bind(1, doc).bind(2, only_run);
  while (ids_.step()) ids.insert(ids_.text(0));
  if (document.contains("warnings") && document["warnings"].is_array()) {
    Json warnings = Json::array();
    for (Json& warning : document["warnings"]) {
      const bool gone = warning.is_object() && warning.contains("run") &&
                        warning["run"].is_string() &&
                        ids.count(warning["run"].get<std::string>()) == 0;
      if (!gone) warnings.push_back(std::move(warning));
    }
    document["warnings"] = std::move(warnings);
  }
  // Its runs in the place of its empty "runs".
  write_object(document, "runs", [&](const Json&) { write_runs(doc, only_run); });
  add("\n");
  return going_;
}

void DocumentExporter::write_object(const Json& object, std::string_view streamed,
                                    const std::function<void(const Json&)>& stream) {
  add("{");
  bool first = true;
  bool streamed_written = false;
  for (const auto& item : object.items()) {
    if (!first) add(",");
    first = false;
    add_value(Json(item.key()));
    add(":");
    if (item.key() == streamed) {
      stream(item.value());
      streamed_written = true;
    } else {
      add_value(item.value());
    }
  }
  if (!streamed_written) {
    if (!first) add(",");
    add_value(Json(streamed));
    add(":");
    stream(Json(nullptr));
  }
  add("}");
}

void DocumentExporter::write_runs(int64_t doc, std::optional<int64_t> only_run) {
  add("[");
  runs_.reset().bind(1, doc).bind(2, only_run);
  bool first = true;
  while (going_ && runs_.step()) {
    if (!first) add(",");
    first = false;
    write_run(runs_.integer(0), Json::parse(runs_.text(1)));
  }
  add("]");
}

void DocumentExporter::write_run(int64_t key, Json run) {
  samples_.reset().bind(1, key);
  // A run without stored samples is written as it was kept.
  if (!samples_.step()) {
    add_value(run);
    return;
  }
  if (run.is_null()) run = Json::object();
  if (!run.is_object()) throw std::runtime_error("a stored run is not a JSON object");
  // The samples it kept (none, as the program writes it), then the stored ones.
  write_object(run, "samples", [&](const Json& kept) {
    if (!kept.is_null() && !kept.is_array()) {
      throw std::runtime_error("a stored run's samples are not a list");
    }
    add("[");
    bool none = true;
    for (const Json& sample : kept) {
      if (!none) add(",");
      none = false;
      add_value(sample);
    }
    write_samples(none);
    add("]");
  });
}

// The samples from the row the statement stands on to its last, one row at
// a time.
void DocumentExporter::write_samples(bool first) {
  do {
    if (!first) add(",");
    first = false;
    add("{\"time\":");
    add_value(number_at(samples_, 0));
    add(",\"duration\":");
    add_value(number_at(samples_, 1));
    add(",\"operations\":");
    add_value(number_at(samples_, 2));
    add(",\"rate\":");
    add_value(number_at(samples_, 3));
    write_sample_noise();
    add("}");
  } while (going_ && samples_.step());
}

// A sample's noise after its four numbers, as the program writes it; none
// when the sample had none, or was stored before its noise was kept.
void DocumentExporter::write_sample_noise() {
  constexpr int FIRST = 4;
  constexpr int DISTURBED = FIRST + static_cast<int>(SAMPLE_NOISE_KEYS.size());
  if (samples_.type(DISTURBED) == SQLITE_NULL) return;
  Json noise = Json::object();
  for (size_t key = 0; key < SAMPLE_NOISE_KEYS.size(); ++key) {
    const int column = FIRST + static_cast<int>(key);
    noise[std::string(SAMPLE_NOISE_KEYS[key])] =
        samples_.type(column) == SQLITE_NULL ? Json(nullptr) : number_at(samples_, column);
  }
  noise["disturbed"] = samples_.integer(DISTURBED) != 0;
  add(",\"noise\":");
  add_value(noise);
}

std::variant<RunFigures, std::string> stored_figures(Database& db, int64_t key, int64_t version) {
  Statement find = db.prepare(
      "SELECT runs.doc, documents.json FROM runs JOIN documents ON documents.doc = runs.doc "
      "WHERE runs.key = ?1");
  find.bind(1, key);
  if (!find.step()) return std::string("it is no longer stored");
  const int64_t doc = find.integer(0);
  const std::string text = find.text(1);
  // Written to memory and read from there as any input is: the run is never
  // held whole, and it is judged by the reader's own rules.
  const int fd = ::memfd_create("tarnwick-stored-run", MFD_CLOEXEC);
  if (fd < 0) return fmt::format("cannot read it back: {}", std::strerror(errno));
  struct Closed {
    int fd;
    ~Closed() { ::close(fd); }
  } closed{fd};
  DocumentExporter exporter(
      db, [fd](std::string_view piece) { return write_all(fd, piece); }, version);
  if (!exporter.write(doc, text, key) || !exporter.flush() || ::lseek(fd, 0, SEEK_SET) != 0) {
    return fmt::format("cannot read it back: {}", std::strerror(errno));
  }
  DocumentReader reader(fd, ReadOptions{});
  auto item = reader.next();
  if (!item) return std::string("it reads back as no document");
  if (auto* reason = std::get_if<std::string>(&*item)) return std::move(*reason);
  const LoadedDocument& document = std::get<LoadedDocument>(*item);
  if (document.runs.size() != 1) return std::string("it reads back as no run");
  return figures_of(document, document.runs.front());
}

}  // namespace tarnwick
