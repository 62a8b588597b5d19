#include "document/document_handler.hpp"

#include <fmt/format.h>

#include <bit>
#include <utility>

#include "document/document_writer.hpp"
#include "document/judgeable.hpp"
#include "document/run_id.hpp"
#include "util/text.hpp"

namespace tarnwick::reading {

const char* kind_name(Scalar::Kind kind) {
  switch (kind) {
    case Scalar::Null:
      return "null";
    case Scalar::Bool:
      return "true or false";
    case Scalar::Signed:
      return "a negative number";
    case Scalar::Unsigned:
      return "a whole number";
    case Scalar::Float:
      return "a number with a fraction or exponent";
    case Scalar::String:
      return "a string";
  }
  return "a value";
}

bool DocumentHandler::wrong_type(const char* expected, const char* got) {
  return fail(field_prefix() + "expected " + expected + ", got " + got);
}

std::string DocumentHandler::path() const {
  std::string text;
  for (std::size_t i = 1; i < frames_.size(); ++i) {
    const Frame& parent = frames_[i - 1];
    switch (frames_[i].where) {
      case Where::Runs:
      case Where::Samples:
        break;
      case Where::Run:
        text = "runs[" + std::to_string(document_.runs.size() - 1) + "]";
        break;
      case Where::Sample:
        text += ".samples[" + std::to_string(parent.count - 1) + "]";
        break;
      default:
        // An object's path is its parent's and the key it is under.
        text += (text.empty() ? "" : ".") + std::string(key_name(parent.where, parent.field));
        break;
    }
  }
  return text;
}

std::string DocumentHandler::field_prefix() const {
  const std::string at = field_path();
  return at.empty() ? at : at + ": ";
}

std::string DocumentHandler::field_path() const {
  if (frames_.empty()) return {};
  const Frame& frame = frames_.back();
  std::string text = path();
  if (frame.where == Where::Runs) return "runs[" + std::to_string(frame.count - 1) + "]";
  if (frame.where == Where::Samples) {
    return text + ".samples[" + std::to_string(frame.count - 1) + "]";
  }
  const std::string_view name = key_name(frame.where, frame.field);
  if (name.empty()) return text;
  return text.empty() ? std::string(name) : text + "." + std::string(name);
}

bool DocumentHandler::Key(const char* text, unsigned length, bool /*copy*/) {
  if (refused()) return true;
  const std::string_view name(text, length);
  if (!check_string(name)) return true;
  if (capture_ != nullptr) {
    hold(2 * name.size() + 8);
    if (comma_) *capture_ += ',';
    append_quoted(*capture_, name);
    *capture_ += ':';
    comma_ = false;
  }
  if (hashing_) {
    // Every key goes into the id, and the history writes an object back
    // with one of each: a key given twice would change the id on export.
    hold(name.size() + 64);
    if (!hashed_keys_.back().insert(std::string(name)).second) {
      return fail(path() + ": '" + printable(name.substr(0, 64)) + "' given twice");
    }
    run_hash_.add('k', name);
  }
  if (skip_depth_ > 0) return true;
  Frame& frame = frames_.back();
  frame.field = field_of(frame.where, name);
  if (frame.field != Field::Other) {
    const uint64_t bit = field_bit(frame.field);
    if ((frame.seen & bit) != 0) return bad("given twice");
    frame.seen |= bit;
  }
  return true;
}

bool DocumentHandler::open(bool object) {
  if (++depth_ > MAX_NESTING) {
    too_deep_ = true;
    return false;  // the parser stops: its own stack must stay bounded too
  }
  if (refused()) return true;
  if (skip_depth_ > 0) return open_skipped(object);
  if (frames_.empty()) return open_top(object);
  const std::optional<Where> child = child_of(frames_.back(), object);
  if (refused()) return true;
  if (!child) return open_skipped(object);
  frames_.push_back({*child});
  enter(*child);
  return true;
}

bool DocumentHandler::open_top(bool object) {
  if (!object) return fail("not a result document: expected a JSON object, got an array");
  frames_.push_back({Where::Top});
  if (options_.keep_json) capture_into(document_.json);
  return true;
}

bool DocumentHandler::open_skipped(bool object) {
  ++skip_depth_;
  open_plain(object);
  return true;
}

void DocumentHandler::capture_into(std::string& json) {
  capture_ = &json;
  *capture_ = "{";
  comma_ = false;
}

void DocumentHandler::open_plain(bool object) {
  if (hashing_) hash_open(object);
  if (capture_ != nullptr) {
    capture_raw(object ? "{" : "[");
    comma_ = false;
  }
}

void DocumentHandler::close_plain(char bracket) {
  if (hashing_) hash_close(bracket);
  if (capture_ != nullptr) {
    *capture_ += bracket;
    comma_ = true;
  }
}

std::optional<Where> DocumentHandler::child_of(Frame& parent, bool object) {
  const char* got = object ? "an object" : "an array";
  // Each object's fields that hold an object or array, and what its other
  // known fields hold.
  using Children = std::initializer_list<std::pair<Field, Where>>;
  const auto nested = [&](Children children, const char* expected) -> std::optional<Where> {
    for (const auto& [field, child] : children) {
      if (parent.field == field) return child;
    }
    if (parent.field != Field::Other) wrong_type(expected, got);
    return std::nullopt;
  };
  std::optional<Where> child;
  switch (parent.where) {
    case Where::Top:
      child = nested({{Field::Library, Where::Library},
                      {Field::Environment, Where::Environment},
                      {Field::Host, Where::Host},
                      {Field::Runs, Where::Runs}},
                     parent.field == Field::SchemaVersion ? "a whole number" : "a string");
      break;
    case Where::Runs:
    case Where::Samples:
      ++parent.count;
      child = parent.where == Where::Runs ? Where::Run : Where::Sample;
      break;
    case Where::Environment:
      child = nested({{Field::Cpu, Where::Cpu}}, "a string");
      break;
    case Where::Sample:
      child = nested({{Field::Noise, Where::SampleNoise}}, "a number");
      break;
    case Where::Run:
      child = nested({{Field::Samples, Where::Samples}, {Field::Noise, Where::Noise}},
                     parent.field == Field::Unstable ? "true or false" : "a scalar value");
      break;
    default:
      child = nested({}, "a scalar value");
      break;
  }
  const bool wanted_object = child != Where::Runs && child != Where::Samples;
  if (child && object != wanted_object) {
    wrong_type(wanted_object ? "an object" : "an array", got);
    return std::nullopt;
  }
  return child;
}

void DocumentHandler::enter(Where child) {
  switch (child) {
    case Where::Runs:
      seen_runs_ = true;
      // The runs are kept apart from the document's text, each in its own.
      if (capture_ != nullptr) document_.runs_at = capture_empty_array();
      capture_ = nullptr;
      break;
    case Where::Run:
      enter_run();
      break;
    case Where::Samples:
      if (hashing_) run_hash_.add('[', {});
      // The samples are kept as numbers; the run's text holds an empty array.
      if (capture_ != nullptr) document_.runs.back().samples_at = capture_empty_array();
      capture_ = nullptr;
      break;
    case Where::Sample:
      sample_noise_.reset();
      hashing_ = false;  // hashed when complete, in the layout written back
      break;
    case Where::SampleNoise:
      // Kept apart from the run's text, as its sample's numbers are.
      sample_noise_.emplace();
      break;
    default:
      // A run's noise object is the one such object inside a hashed run.
      open_plain(true);
      break;
  }
}

void DocumentHandler::enter_run() {
  // The run, its place among the runs' keys and ids, with room to grow.
  hold(2 * (sizeof(LoadedRun) + sizeof(uint64_t) + sizeof(std::string)));
  document_.runs.emplace_back();
  samples_digest_ = 0;
  samples_ = operations_sum_ = 0;
  operations_overflow_ = false;
  last_time_.reset();
  // A document is a 0.0.2 one unless it says schema_version 1, which may
  // come after its runs: until then each run is hashed for its id.
  hash_run_ = hashing_ = document_.schema_version == 0;
  if (hash_run_) {
    run_hash_ = ContentHash{};
    hashed_keys_.clear();
    hash_open(true);
  }
  if (options_.keep_json) capture_into(document_.runs.back().json);
}

bool DocumentHandler::close(char bracket) {
  --depth_;
  if (refused()) return true;
  if (skip_depth_ > 0) {
    --skip_depth_;
    close_plain(bracket);
    return true;
  }
  bool ok = true;
  switch (frames_.back().where) {
    case Where::Runs:
      if (options_.keep_json) {
        capture_ = &document_.json;
        comma_ = true;
      }
      break;
    case Where::Run:
      if (hash_run_) hash_close('}');
      ok = close_run();
      hash_run_ = hashing_ = false;
      if (capture_ != nullptr) *capture_ += '}';
      capture_ = nullptr;
      break;
    case Where::Samples:
      if (hashing_) run_hash_.add(']', {});
      if (options_.keep_json) {
        capture_ = &document_.runs.back().json;
        comma_ = true;
      }
      break;
    case Where::Sample:
      ok = close_sample();
      if (ok && hash_run_) hash_sample();
      break;
    default:
      close_plain(bracket);
      break;
  }
  frames_.pop_back();
  return ok;
}

void DocumentHandler::hash_sample() {
  static constexpr std::array NAMES{"time", "duration", "operations", "rate"};
  run_hash_.add('{', {});
  for (std::size_t i = 0; i < NAMES.size(); ++i) {
    run_hash_.add('k', NAMES[i]);
    run_hash_.add('n', sample_numbers_[i]);
  }
  run_hash_.add('}', {});
  hashing_ = true;
}

bool DocumentHandler::close_sample() {
  if (auto missing =
          first_missing(Where::Sample, frames_.back().seen,
                        {Field::Time, Field::Duration, Field::Operations, Field::Rate})) {
    return fail(path() + ": " + std::string(*missing) + " is missing");
  }
  if (last_time_ && !(sample_time_ > *last_time_)) {
    return fail(fmt::format("{}.time: {} does not come after the previous sample's {}", path(),
                            number_text(sample_time_), number_text(*last_time_)));
  }
  last_time_ = sample_time_;
  ++samples_;
  // Each value's bits, mixed in order: two series of samples differ here.
  for (const uint64_t word :
       {std::bit_cast<uint64_t>(sample_time_), std::bit_cast<uint64_t>(sample_duration_),
        sample_operations_, std::bit_cast<uint64_t>(sample_rate_)}) {
    samples_digest_ = (samples_digest_ ^ word) * 0x100000001b3ULL;
    samples_digest_ ^= samples_digest_ >> 29;
  }
  if (__builtin_add_overflow(operations_sum_, sample_operations_, &operations_sum_)) {
    operations_overflow_ = true;
  }
  LoadedRun& run = document_.runs.back();
  hold((options_.samples ? 32u : 0u) + (options_.keep_json ? 32u : 0u));
  if (options_.samples) {
    run.rates.push_back(sample_rate_);
    run.durations.push_back(sample_duration_);
  }
  if (options_.keep_json) {
    hold(sample_noise_ ? 2 * sizeof(LoadedSecondNoise) : 0);
    run.times.push_back(sample_time_);
    run.sample_operations.push_back(static_cast<int64_t>(sample_operations_));
    run.sample_noise.push_back(sample_noise_);
  }
  return true;
}

bool DocumentHandler::close_run() {
  LoadedRun& run = document_.runs.back();
  const uint64_t given = frames_.back().seen;
  const std::string at = "runs[" + std::to_string(document_.runs.size() - 1) + "]";
  // 0.0.2 runs have no id or repetition, and may lack samples: those are
  // checked at the end, when the document's version is known.
  if (auto missing = first_missing(Where::Run, given,
                                   {Field::Label, Field::Status, Field::Threads,
                                    Field::MeasuredSeconds, Field::Operations, Field::Checksum})) {
    return fail(at + "." + std::string(*missing) + " is missing");
  }
  if (run.status != Status::failed && run.threads == 0) {
    return fail(at + ".threads: 0, but a completed or cancelled run has at least one worker");
  }
  if ((given & field_bit(Field::SampleCount)) != 0 && run.sample_count != samples_) {
    return fail(fmt::format("{}.sample_count: {}, but the run has {} samples", at, run.sample_count,
                            samples_));
  }
  run.sample_count = samples_;
  run.samples_digest = samples_digest_;
  if ((given & field_bit(Field::Samples)) != 0 &&
      (operations_overflow_ || operations_sum_ != run.operations)) {
    return fail(fmt::format(
        "{}.operations: {}, but its samples' operations add up to {}", at, run.operations,
        operations_overflow_ ? std::string("more than 2^64") : std::to_string(operations_sum_)));
  }
  run_keys_of_.push_back(given);
  content_ids_.push_back(hash_run_ ? "h" + run_hash_.hex() : std::string());
  return true;
}

void DocumentHandler::capture_scalar(const Scalar& value) {
  switch (value.kind) {
    case Scalar::Null:
      capture_raw("null");
      break;
    case Scalar::Bool:
      capture_raw(value.boolean ? "true" : "false");
      break;
    case Scalar::String:
      hold(2 * value.text.size() + 8);
      if (comma_) *capture_ += ',';
      append_quoted(*capture_, value.text);
      comma_ = true;
      break;
    default:
      capture_raw(value.text);
      break;
  }
}

namespace {

// The kind a number is read as; none for a value that is not a number.
std::optional<NumberKind> number_kind(Scalar::Kind kind) {
  switch (kind) {
    case Scalar::Signed:
      return NumberKind::Signed;
    case Scalar::Unsigned:
      return NumberKind::Unsigned;
    case Scalar::Float:
      return NumberKind::Float;
    default:
      return std::nullopt;
  }
}

}  // namespace

bool DocumentHandler::hash_scalar(const Scalar& value) {
  switch (value.kind) {
    case Scalar::Null:
      if (hashing_) run_hash_.add('z', {});
      return true;
    case Scalar::Bool:
      if (hashing_) run_hash_.add('b', value.boolean ? "true" : "false");
      return true;
    case Scalar::String:
      if (hashing_) run_hash_.add('s', value.text);
      return true;
    default:
      break;
  }
  if (hashing_) {
    const auto number = canonical_number(*number_kind(value.kind), value.text);
    if (!number) {
      return fail(fmt::format("{}: {} cannot be represented exactly", path(), value.text));
    }
    run_hash_.add('n', *number);
    return true;
  }
  // A sample's own numbers; anything else in it is not written back. The
  // history keeps its time, duration and rate as doubles (1 comes back as
  // 1.0), its operations as an integer.
  const Frame& frame = frames_.back();
  if (skip_depth_ > 0 || frame.where != Where::Sample) return true;
  static constexpr std::array FIELDS{Field::Time, Field::Duration, Field::Operations, Field::Rate};
  for (std::size_t i = 0; i < FIELDS.size(); ++i) {
    if (frame.field != FIELDS[i]) continue;
    // A bad value is refused by the field's own check, with its reason.
    const auto kind = FIELDS[i] == Field::Operations ? number_kind(value.kind) : NumberKind::Float;
    auto number = kind ? canonical_number(*kind, value.text) : std::nullopt;
    if (number) sample_numbers_[i] = std::move(*number);
  }
  return true;
}

bool DocumentHandler::scalar(const Scalar& value) {
  if (refused()) return true;
  if (value.kind == Scalar::String && !check_string(value.text)) return true;
  if (capture_ != nullptr) capture_scalar(value);
  // Hashed after the field's own check, which names a bad value best.
  if (skip_depth_ > 0) return !hash_run_ || hash_scalar(value);
  if (frames_.empty()) {
    return fail(std::string("not a result document: expected a JSON object, got ") +
                kind_name(value.kind));
  }
  Frame& frame = frames_.back();
  if (frame.where == Where::Runs || frame.where == Where::Samples) {
    ++frame.count;
    return wrong_type("an object", kind_name(value.kind));
  }
  const bool ok = assign(frame, value);
  if (!ok || refused()) return ok;
  return !hash_run_ || hash_scalar(value);
}

std::variant<LoadedDocument, std::string> DocumentHandler::finish() {
  if (refused()) return error_;
  if (!seen_program_) return "not a result document of this program (no \"program\" key)";
  if (!seen_version_) return "library.version is missing";
  if (!seen_runs_) return "runs is missing";
  const bool old = document_.schema_version == 0;
  for (std::size_t i = 0; i < document_.runs.size(); ++i) {
    LoadedRun& run = document_.runs[i];
    const std::string at = "runs[" + std::to_string(i) + "]";
    if (old) {
      run.id = content_ids_[i];
      run.repetition = 1;
      run.started.reset();
      run.started_at.reset();
      run.ended.reset();
      continue;
    }
    if (auto missing = first_missing(Where::Run, run_keys_of_[i],
                                     {Field::Id, Field::Repetition, Field::Samples})) {
      return at + "." + std::string(*missing) + " is missing";
    }
    if (!is_run_id(run.id)) {
      return at + ".id: '" + printable(run.id.substr(0, 64)) +
             "' is not a run id (32 lower-case hex digits)";
    }
  }
  for (std::size_t i = 0; i < document_.runs.size(); ++i) {
    if (!check_run(i, document_.runs[i])) return error_;
  }
  if (document_.timestamp_at && !old) {
    if (auto future = from_the_future(*document_.timestamp_at, now_)) {
      return "environment.timestamp: " + *future;
    }
  }
  document_.cpu_model = environment_cpu_model_ ? environment_cpu_model_ : host_cpu_model_;
  if (old) {
    // The host of a 0.0.2 document is unknown beyond its CPU model.
    document_.hostname.reset();
    document_.timestamp.reset();
    document_.timestamp_at.reset();
    document_.arch.reset();
  }
  document_.held_bytes = held_;
  return std::move(document_);
}

bool DocumentHandler::check_run(std::size_t index, LoadedRun& run) {
  if (auto why = unjudgeable(run, now_)) {
    return !fail("runs[" + std::to_string(index) + "]." + *why);
  }
  return true;
}

void DocumentHandler::refuse_over_budget() {
  if (refused()) return;
  over_budget_ = true;
  fail(fmt::format("needs more memory than the {} MiB left of the {} MiB memory budget",
                   limit_ >> 20, MEMORY_BUDGET >> 20));
}

bool DocumentHandler::check_string(std::string_view text) {
  if (text.size() > MAX_STRING_BYTES) {
    return !fail(fmt::format("{}a string of {} bytes, more than {} MiB", field_prefix(),
                             text.size(), MAX_STRING_BYTES >> 20));
  }
  // The parser lets "\udc00" through as the three bytes of a surrogate,
  // which no Unicode text holds; it refuses the same bytes written raw.
  for (std::size_t at = text.find('\xed'); at != std::string_view::npos;
       at = text.find('\xed', at + 1)) {
    if (at + 2 >= text.size() || static_cast<unsigned char>(text[at + 1]) < 0xa0) continue;
    const unsigned code = ((static_cast<unsigned char>(text[at + 1]) & 0x3fu) << 6) |
                          (static_cast<unsigned char>(text[at + 2]) & 0x3fu) | 0xd000u;
    return !fail(fmt::format("{}a lone surrogate (\\u{:04x}), not a Unicode character",
                             field_prefix(), code));
  }
  return true;
}

}  // namespace tarnwick::reading
