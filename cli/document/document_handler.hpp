// The handler of RapidJSON's streaming parser: it follows the few paths of
// a result document it reads, checks every value it keeps, counts its way
// through everything else, and keeps the JSON text when asked. At the first
// bad value it records the reason with the value's path and stops looking
// (the document is refused whole) but lets the parser reach the document's
// end, so that the next document can be read; only nesting past the limit
// stops the parser.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document/document_keys.hpp"
#include "document/reader.hpp"
#include "document/run_hash.hpp"

namespace tarnwick::reading {

// A value that is not an object or an array, as the parser gave it.
struct Scalar {
  enum Kind : uint8_t { Null, Bool, Signed, Unsigned, Float, String } kind = Null;
  bool boolean = false;
  std::string_view text;  // a string's value, or a number's text as written
};

class DocumentHandler {
 public:
  // `now`: the time of reading; `limit`: the most the document may hold.
  DocumentHandler(ReadOptions options, UtcMillis now, std::size_t limit)
      : options_(options), now_(now), limit_(limit) {}

  bool Null() { return scalar(Scalar{}); }
  bool Bool(bool value) { return scalar(Scalar{Scalar::Bool, value, {}}); }
  bool RawNumber(const char* text, unsigned length, bool /*copy*/) {
    const std::string_view number(text, length);
    Scalar::Kind kind = text[0] == '-' ? Scalar::Signed : Scalar::Unsigned;
    if (number.find_first_of(".eE") != std::string_view::npos) kind = Scalar::Float;
    return scalar(Scalar{kind, false, number});
  }
  bool String(const char* text, unsigned length, bool /*copy*/) {
    return scalar(Scalar{Scalar::String, false, std::string_view(text, length)});
  }
  // Not called with numbers as text; present for the handler's concept.
  bool Int(int) { return true; }
  bool Uint(unsigned) { return true; }
  bool Int64(int64_t) { return true; }
  bool Uint64(uint64_t) { return true; }
  bool Double(double) { return true; }
  bool StartObject() { return open(true); }
  bool StartArray() { return open(false); }
  bool EndObject(unsigned /*members*/) { return close('}'); }
  bool EndArray(unsigned /*elements*/) { return close(']'); }
  bool Key(const char* text, unsigned length, bool /*copy*/);

  [[nodiscard]] bool too_deep() const { return too_deep_; }
  // The document needs more than the limit: nothing after it can be read.
  [[nodiscard]] bool over_budget() const { return over_budget_; }
  // The first bad value met so far, if any.
  [[nodiscard]] std::optional<std::string> refusal() const {
    if (error_.empty()) return std::nullopt;
    return error_;
  }
  // The document, or the reason it was refused; after a complete parse.
  std::variant<LoadedDocument, std::string> finish();

 private:
  struct Frame {
    Where where;
    Field field = Field::Other;  // of the current key, in an object
    std::size_t count = 0;       // elements started so far, in an array
    uint64_t seen = 0;           // the known keys met so far, in an object (field_bit)
  };

  // Records the first reason; the parse goes on to the document's end.
  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return true;
  }
  [[nodiscard]] bool refused() const { return !error_.empty(); }

  [[nodiscard]] std::string path() const;
  [[nodiscard]] std::string field_path() const;
  [[nodiscard]] std::string field_prefix() const;  // "path: ", or nothing at the top
  bool bad(const std::string& what) { return fail(field_path() + ": " + what); }
  bool wrong_type(const char* expected, const char* got);

  // Objects and arrays: entered, skipped or refused.
  bool open(bool object);
  bool open_top(bool object);
  bool open_skipped(bool object);
  // The place a value opened under `parent` is, if the reader looks into
  // it; nothing, with the document refused, when it has the wrong type.
  std::optional<Where> child_of(Frame& parent, bool object);
  void enter(Where child);
  // Into the kept text: a new object's (the document's or a run's), and
  // an object or array the reader passes through as it is.
  void capture_into(std::string& json);
  void open_plain(bool object);
  void close_plain(char bracket);
  void enter_run();
  bool close(char bracket);
  bool close_run();
  bool close_sample();
  void hash_sample();

  // Counts `bytes` more as held; refuses the document past the limit.
  void hold(std::size_t bytes) {
    held_ += bytes;
    if (held_ > limit_) refuse_over_budget();
  }
  void refuse_over_budget();
  // Any string or key: of a bounded length, and Unicode scalar values only.
  bool check_string(std::string_view text);
  // The checks across a run's fields and with the time of reading.
  bool check_run(std::size_t index, LoadedRun& run);

  // Scalars: checked where they are kept, hashed and captured.
  bool scalar(const Scalar& value);
  bool assign(Frame& frame, const Scalar& value);
  bool assign_top(Field field, const Scalar& value);
  bool assign_environment(Where where, Field field, const Scalar& value);
  bool assign_run(Field field, const Scalar& value);
  bool assign_noise(Field field, const Scalar& value);
  bool assign_sample(Field field, const Scalar& value);
  bool assign_sample_noise(Field field, const Scalar& value);
  bool count(const Scalar& value, std::optional<uint64_t>& target);
  bool too_long(std::string_view text);
  bool text(const Scalar& value, bool nullable, std::string& target);
  bool text(const Scalar& value, bool nullable, std::optional<std::string>& target);
  bool time(const Scalar& value, std::optional<std::string>& target,
            std::optional<UtcMillis>& parsed);
  bool number(const Scalar& value, bool nullable, bool positive, double& target);
  bool number(const Scalar& value, bool nullable, bool positive, std::optional<double>& target);
  bool percent(const Scalar& value, std::optional<double>& target);  // a number up to 100, or null
  bool boolean(const Scalar& value, bool& target);
  // A whole number up to `limit` into `target`; false when refused.
  bool parse_whole(const Scalar& value, uint64_t limit, uint64_t& target);
  template <typename Whole>
  bool whole(const Scalar& value, uint64_t limit, Whole& target) {
    uint64_t parsed = 0;
    if (parse_whole(value, limit, parsed)) target = static_cast<Whole>(parsed);
    return true;
  }

  void capture_scalar(const Scalar& value);
  bool hash_scalar(const Scalar& value);
  void hash_open(bool object) {
    run_hash_.add(object ? '{' : '[', {});
    if (object) hashed_keys_.emplace_back();
  }
  void hash_close(char bracket) {
    run_hash_.add(bracket, {});
    if (bracket == '}') hashed_keys_.pop_back();
  }
  // Writes "[]" to the kept text; returns where the '[' is.
  std::size_t capture_empty_array() {
    capture_raw("[]");
    return capture_->size() - 2;
  }
  void capture_raw(std::string_view text) {
    hold(2 * text.size() + 2);
    if (comma_) *capture_ += ',';
    *capture_ += text;
    comma_ = true;
  }

  ReadOptions options_;
  UtcMillis now_;
  std::size_t limit_;
  std::size_t held_ = 0;  // what the document holds, counted twice over for growth
  bool over_budget_ = false;
  LoadedDocument document_;
  std::vector<Frame> frames_;
  std::size_t skip_depth_ = 0;  // nesting inside a skipped object or array
  std::size_t depth_ = 0;       // all nesting, for the limit
  bool too_deep_ = false;
  std::string error_;

  bool seen_program_ = false, seen_version_ = false, seen_runs_ = false;
  std::optional<std::string> host_cpu_model_, environment_cpu_model_;

  // The run being read.
  uint64_t samples_ = 0, operations_sum_ = 0;
  bool operations_overflow_ = false;
  std::optional<double> last_time_;
  double sample_time_ = 0, sample_duration_ = 0, sample_rate_ = 0;
  uint64_t sample_operations_ = 0;
  std::optional<LoadedSecondNoise> sample_noise_;  // the sample's noise, when it has one
  uint64_t samples_digest_ = 0;
  // The id of a 0.0.2 run hashes its keys and values in their order, each
  // number in its canonical text, and its samples in the layout the history
  // writes them back in: time, duration, operations, rate.
  ContentHash run_hash_;
  bool hash_run_ = false;  // the run is hashed: no schema_version 1 so far
  bool hashing_ = false;   // what is read now goes into run_hash_
  std::array<std::string, 4> sample_numbers_;
  std::vector<std::set<std::string>> hashed_keys_;  // of each hashed object open
  // Of every run read: the keys it gave and, for a 0.0.2 run, its id.
  std::vector<uint64_t> run_keys_of_;
  std::vector<std::string> content_ids_;

  std::string* capture_ = nullptr;  // the JSON text being kept, when keep_json
  bool comma_ = false;              // a value precedes, in the text being kept
};

// The name of a kind of value, for messages: "a string", "null", ...
[[nodiscard]] const char* kind_name(Scalar::Kind kind);

}  // namespace tarnwick::reading
