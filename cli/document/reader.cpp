#include "reader.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <system_error>

namespace tarnwick {
namespace {

// The objects the reader looks into; every other value is skipped unread.
enum class Where : uint8_t { Top, Library, Environment, Cpu, Host, Runs, Run, Samples, Sample };

enum class Field : uint8_t {
  Other,
  SchemaVersion,
  Program,
  Status,
  Library,
  Environment,
  Host,
  Runs,
  Version,
  Timestamp,
  Hostname,
  Cpu,
  Model,
  Arch,
  CpuModel,
  Id,
  Label,
  Repetition,
  Started,
  Ended,
  Reason,
  Threads,
  MeanRate,
  CvPercent,
  Unstable,
  MeasuredSeconds,
  Operations,
  Checksum,
  Samples,
  Rate,
  Duration,
};

struct KeyName {
  std::string_view name;
  Field field;
};

constexpr std::array TOP_KEYS{KeyName{"schema_version", Field::SchemaVersion},
                              KeyName{"program", Field::Program},
                              KeyName{"status", Field::Status},
                              KeyName{"library", Field::Library},
                              KeyName{"environment", Field::Environment},
                              KeyName{"host", Field::Host},
                              KeyName{"runs", Field::Runs}};
constexpr std::array LIBRARY_KEYS{KeyName{"version", Field::Version}};
constexpr std::array ENVIRONMENT_KEYS{KeyName{"timestamp", Field::Timestamp},
                                      KeyName{"hostname", Field::Hostname},
                                      KeyName{"cpu", Field::Cpu}};
constexpr std::array CPU_KEYS{KeyName{"model", Field::Model}, KeyName{"arch", Field::Arch}};
constexpr std::array HOST_KEYS{KeyName{"cpu_model", Field::CpuModel}};
constexpr std::array RUN_KEYS{KeyName{"id", Field::Id},
                              KeyName{"label", Field::Label},
                              KeyName{"repetition", Field::Repetition},
                              KeyName{"started", Field::Started},
                              KeyName{"ended", Field::Ended},
                              KeyName{"status", Field::Status},
                              KeyName{"reason", Field::Reason},
                              KeyName{"threads", Field::Threads},
                              KeyName{"mean_rate", Field::MeanRate},
                              KeyName{"cv_percent", Field::CvPercent},
                              KeyName{"unstable", Field::Unstable},
                              KeyName{"measured_seconds", Field::MeasuredSeconds},
                              KeyName{"operations", Field::Operations},
                              KeyName{"checksum", Field::Checksum},
                              KeyName{"samples", Field::Samples}};
constexpr std::array SAMPLE_KEYS{KeyName{"rate", Field::Rate},
                                 KeyName{"duration", Field::Duration}};

template <size_t N>
Field find_field(const std::array<KeyName, N>& keys, std::string_view name) {
  for (const KeyName& key : keys) {
    if (key.name == name) return key.field;
  }
  return Field::Other;
}

Field field_of(Where where, std::string_view name) {
  switch (where) {
    case Where::Top:
      return find_field(TOP_KEYS, name);
    case Where::Library:
      return find_field(LIBRARY_KEYS, name);
    case Where::Environment:
      return find_field(ENVIRONMENT_KEYS, name);
    case Where::Cpu:
      return find_field(CPU_KEYS, name);
    case Where::Host:
      return find_field(HOST_KEYS, name);
    case Where::Run:
      return find_field(RUN_KEYS, name);
    case Where::Sample:
      return find_field(SAMPLE_KEYS, name);
    case Where::Runs:
    case Where::Samples:
      break;
  }
  return Field::Other;
}

// The keys a run must have, as bits of a mask.
enum RunKey : unsigned {
  RUN_ID = 1u << 0,
  RUN_LABEL = 1u << 1,
  RUN_REPETITION = 1u << 2,
  RUN_STATUS = 1u << 3,
  RUN_THREADS = 1u << 4,
  RUN_MEASURED = 1u << 5,
  RUN_OPERATIONS = 1u << 6,
  RUN_CHECKSUM = 1u << 7,
};

struct Scalar {
  enum Kind : uint8_t { Null, Bool, Signed, Unsigned, Float, String } kind = Null;
  bool boolean = false;
  std::string_view text;  // a string's value, or a number's text as written
};

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

// 128-bit FNV-1a: enough bits that two different runs never share an id.
class ContentHash {
 public:
  void add(char tag, std::string_view bytes) {
    step(static_cast<unsigned char>(tag));
    for (const char byte : bytes) step(static_cast<unsigned char>(byte));
    step(0);
  }
  [[nodiscard]] std::string hex() const {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text(32, '0');
    u128 value = state_;
    for (int i = 31; i >= 0; --i) {
      text[static_cast<size_t>(i)] = DIGITS[static_cast<unsigned>(value & 0xf)];
      value >>= 4;
    }
    return text;
  }

 private:
  __extension__ using u128 = unsigned __int128;
  static constexpr u128 PRIME = (u128{1} << 88) + 0x13b;
  void step(unsigned char byte) {
    state_ ^= byte;
    state_ *= PRIME;
  }
  u128 state_ = (u128{0x6c62272e07bb0142ULL} << 64) | 0x62b821756295c58dULL;
};

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static constexpr char DIGITS[] = "0123456789abcdef";
      out += "\\u00";
      out += DIGITS[byte >> 4];
      out += DIGITS[byte & 0xf];
    } else {
      out += c;
    }
  }
  out += '"';
}

// The handler of the streaming parser: it follows the few paths it
// reads, counts its way through everything else, and stops at the first
// value of the wrong type with the path of that value.
class DocumentHandler {
 public:
  explicit DocumentHandler(ReadOptions options) : options_(options) {}

  // RapidJSON's handler: numbers arrive as their text and are converted
  // only where a field is read.
  bool Null() { return scalar(Scalar{}); }
  bool Bool(bool value) {
    Scalar s;
    s.kind = Scalar::Bool;
    s.boolean = value;
    return scalar(s);
  }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    Scalar s;
    s.text = std::string_view(text, length);
    s.kind = s.text.find_first_of(".eE") != std::string_view::npos ? Scalar::Float
             : text[0] == '-'                                      ? Scalar::Signed
                                                                   : Scalar::Unsigned;
    return scalar(s);
  }
  bool String(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    Scalar s;
    s.kind = Scalar::String;
    s.text = std::string_view(text, length);
    return scalar(s);
  }
  // Not called with numbers as text; present for the handler's concept.
  bool Int(int) { return true; }
  bool Uint(unsigned) { return true; }
  bool Int64(int64_t) { return true; }
  bool Uint64(uint64_t) { return true; }
  bool Double(double) { return true; }
  bool StartObject() { return open(true); }
  bool StartArray() { return open(false); }
  bool EndObject(rapidjson::SizeType /*members*/) { return close('}'); }
  bool EndArray(rapidjson::SizeType /*elements*/) { return close(']'); }

  bool Key(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    const std::string_view name(text, length);
    if (hashing_) hash_.add('k', name);
    if (capture_ != nullptr) {
      if (need_comma_) *capture_ += ',';
      append_quoted(*capture_, name);
      *capture_ += ':';
      need_comma_ = false;
    }
    if (skip_depth_ > 0) return true;
    Frame& frame = frames_.back();
    frame.field = field_of(frame.where, name);
    return true;
  }

  // The document, or the reason it cannot be read; text is what was parsed.
  std::variant<LoadedDocument, std::string> finish(rapidjson::ParseResult parsed,
                                                   std::string_view text);

 private:
  struct Frame {
    Where where;
    Field field = Field::Other;  // of the current key, in an object
    size_t count = 0;            // elements started so far, in an array
  };

  bool fail(std::string reason) {
    error_ = std::move(reason);
    return false;
  }

  // "runs[2].samples[5]", "environment.cpu", or "" for the top.
  [[nodiscard]] std::string path() const;
  [[nodiscard]] std::string field_path() const;
  bool wrong_type(const char* expected, const char* got) {
    return fail(fmt_path(field_path()) + "expected " + expected + ", got " + got);
  }
  static std::string fmt_path(const std::string& path) { return path.empty() ? "" : path + ": "; }

  bool open(bool object);
  bool close(char bracket);
  bool scalar(const Scalar& value);
  bool assign(Frame& frame, const Scalar& value);
  void capture_value(std::string_view text) {
    if (need_comma_) *capture_ += ',';
    *capture_ += text;
    need_comma_ = true;
  }

  ReadOptions options_;
  LoadedDocument document_;
  std::vector<Frame> frames_;
  size_t skip_depth_ = 0;  // nesting inside a skipped object or array
  std::string error_;

  bool seen_program_ = false, seen_version_ = false, seen_runs_ = false;
  std::optional<std::string> host_cpu_model_, environment_cpu_model_;
  std::vector<unsigned> run_keys_;        // RunKey bits of each run
  std::vector<std::string> content_ids_;  // "h" + hash, for runs without an id
  std::optional<double> sample_rate_, sample_duration_;

  bool hashing_ = false;
  ContentHash hash_;
  std::string* capture_ = nullptr;  // the JSON text being kept, when keep_json
  size_t capture_depth_ = 0;        // frames_ depth of the captured object
  bool need_comma_ = false;
};

std::string DocumentHandler::path() const {
  std::string text;
  for (const Frame& frame : frames_) {
    switch (frame.where) {
      case Where::Top:
      case Where::Runs:
      case Where::Samples:
        break;
      case Where::Library:
        text = "library";
        break;
      case Where::Environment:
        text = "environment";
        break;
      case Where::Cpu:
        text += ".cpu";
        break;
      case Where::Host:
        text = "host";
        break;
      case Where::Run:
        text = "runs[" + std::to_string(document_.runs.size() - 1) + "]";
        break;
      case Where::Sample: {
        const size_t index = frames_[frames_.size() - 2].count - 1;
        text += ".samples[" + std::to_string(index) + "]";
        break;
      }
    }
  }
  return text;
}

std::string DocumentHandler::field_path() const {
  const Frame& frame = frames_.back();
  std::string text = path();
  if (frame.where == Where::Runs) return "runs[" + std::to_string(frame.count - 1) + "]";
  if (frame.where == Where::Samples) {
    return text + ".samples[" + std::to_string(frame.count - 1) + "]";
  }
  std::string_view name;
  auto find_name = [&](const auto& keys) {
    for (const KeyName& key : keys) {
      if (key.field == frame.field) name = key.name;
    }
  };
  switch (frame.where) {
    case Where::Top:
      find_name(TOP_KEYS);
      break;
    case Where::Library:
      find_name(LIBRARY_KEYS);
      break;
    case Where::Environment:
      find_name(ENVIRONMENT_KEYS);
      break;
    case Where::Cpu:
      find_name(CPU_KEYS);
      break;
    case Where::Host:
      find_name(HOST_KEYS);
      break;
    case Where::Run:
      find_name(RUN_KEYS);
      break;
    case Where::Sample:
      find_name(SAMPLE_KEYS);
      break;
    default:
      break;
  }
  return text.empty() ? std::string(name) : text + "." + std::string(name);
}

bool DocumentHandler::open(bool object) {
  if (hashing_) hash_.add(object ? '{' : '[', {});
  if (capture_ != nullptr) {
    if (need_comma_) *capture_ += ',';
    *capture_ += object ? '{' : '[';
    need_comma_ = false;
  }
  if (skip_depth_ > 0) {
    ++skip_depth_;
    return true;
  }
  const char* got = object ? "an object" : "an array";
  if (frames_.empty()) {
    if (!object) return fail("not a result document: expected a JSON object, got an array");
    frames_.push_back({Where::Top});
    return true;
  }
  Frame& parent = frames_.back();
  std::optional<Where> child;
  bool wanted_object = true;
  switch (parent.where) {
    case Where::Runs:
    case Where::Samples:
      ++parent.count;
      child = parent.where == Where::Runs ? Where::Run : Where::Sample;
      break;
    case Where::Top:
      switch (parent.field) {
        case Field::Library:
          child = Where::Library;
          break;
        case Field::Environment:
          child = Where::Environment;
          break;
        case Field::Host:
          child = Where::Host;
          break;
        case Field::Runs:
          child = Where::Runs;
          wanted_object = false;
          break;
        case Field::Other:
          break;
        default:
          return wrong_type(parent.field == Field::SchemaVersion ? "a whole number" : "a string",
                            got);
      }
      break;
    case Where::Environment:
      if (parent.field == Field::Cpu) {
        child = Where::Cpu;
      } else if (parent.field != Field::Other) {
        return wrong_type("a string", got);
      }
      break;
    case Where::Run:
      if (parent.field == Field::Samples) {
        wanted_object = false;
        if (options_.samples) child = Where::Samples;
      } else if (parent.field != Field::Other) {
        return wrong_type(parent.field == Field::Unstable ? "true or false" : "a scalar value",
                          got);
      }
      break;
    default:
      if (parent.field != Field::Other) return wrong_type("a scalar value", got);
      break;
  }
  if (object != wanted_object && (child || parent.field == Field::Samples)) {
    return wrong_type(wanted_object ? "an object" : "an array", got);
  }
  if (!child) {
    skip_depth_ = 1;
    return true;
  }
  frames_.push_back({*child});
  if (*child == Where::Runs) seen_runs_ = true;
  if (*child == Where::Run) {
    document_.runs.emplace_back();
    run_keys_.push_back(0);
    content_ids_.emplace_back();
    if (document_.schema_version == 0) {
      hashing_ = true;
      hash_ = ContentHash{};
      hash_.add('{', {});
    }
  } else if (*child == Where::Sample) {
    sample_rate_.reset();
    sample_duration_.reset();
  }
  if (options_.keep_json && capture_ == nullptr &&
      (*child == Where::Run || *child == Where::Environment || *child == Where::Host)) {
    capture_ = *child == Where::Run           ? &document_.runs.back().json
               : *child == Where::Environment ? &document_.environment_json
                                              : &document_.host_json;
    capture_->clear();
    *capture_ += '{';
    need_comma_ = false;
    capture_depth_ = frames_.size();
  }
  return true;
}

bool DocumentHandler::close(char bracket) {
  if (hashing_) hash_.add(bracket, {});
  if (capture_ != nullptr) {
    *capture_ += bracket;
    need_comma_ = true;
  }
  if (skip_depth_ > 0) {
    --skip_depth_;
    return true;
  }
  const Frame frame = frames_.back();
  if (capture_ != nullptr && frames_.size() == capture_depth_) capture_ = nullptr;
  if (frame.where == Where::Run && hashing_) {
    hashing_ = false;
    content_ids_.back() = "h" + hash_.hex();
  } else if (frame.where == Where::Sample) {
    if (!sample_rate_ || !sample_duration_) {
      return fail(path() + ": " + (sample_rate_ ? "duration" : "rate") + " is missing");
    }
    document_.runs.back().rates.push_back(*sample_rate_);
    document_.runs.back().durations.push_back(*sample_duration_);
  }
  frames_.pop_back();
  return true;
}

bool DocumentHandler::scalar(const Scalar& value) {
  if (hashing_) {
    static constexpr std::array TAGS{'z', 'b', 'n', 'n', 'n', 's'};
    std::string canonical;
    std::string_view text = value.text;
    if (value.kind == Scalar::Float) {
      // A number hashes as the history writes it back (0.05 for 5e-2), so
      // an exported and re-imported run keeps its id; the 0.0.2 program
      // already wrote that form, so the ids it gave stay as they were.
      double number = 0.0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (error == std::errc() && end == text.data() + text.size() && std::isfinite(number)) {
        canonical = nlohmann::json(number).dump();
        text = canonical;
      }
    }
    hash_.add(TAGS[value.kind],
              value.kind == Scalar::Bool ? (value.boolean ? "true" : "false") : text);
  }
  if (capture_ != nullptr) {
    switch (value.kind) {
      case Scalar::Null:
        capture_value("null");
        break;
      case Scalar::Bool:
        capture_value(value.boolean ? "true" : "false");
        break;
      case Scalar::String:
        if (need_comma_) *capture_ += ',';
        append_quoted(*capture_, value.text);
        need_comma_ = true;
        break;
      default:
        capture_value(value.text);
        break;
    }
  }
  if (skip_depth_ > 0) return true;
  if (frames_.empty()) {
    return fail(std::string("not a result document: expected a JSON object, got ") +
                kind_name(value.kind));
  }
  Frame& frame = frames_.back();
  if (frame.where == Where::Runs || frame.where == Where::Samples) {
    ++frame.count;
    return wrong_type("an object", kind_name(value.kind));
  }
  return assign(frame, value);
}

bool DocumentHandler::assign(Frame& frame, const Scalar& value) {
  const char* got = kind_name(value.kind);
  const auto text = [&](bool nullable, auto& target) {
    if (value.kind == Scalar::String) {
      target = std::string(value.text);
      return true;
    }
    if (nullable && value.kind == Scalar::Null) return true;
    return wrong_type(nullable ? "a string or null" : "a string", got);
  };
  const auto number = [&](bool nullable, auto& target) {
    if (value.kind == Scalar::Signed || value.kind == Scalar::Unsigned ||
        value.kind == Scalar::Float) {
      double parsed = 0;
      const auto [end, error] =
          std::from_chars(value.text.data(), value.text.data() + value.text.size(), parsed);
      if (error != std::errc{}) {
        return fail(field_path() + ": " + std::string(value.text) + " is out of range");
      }
      target = parsed;
      return true;
    }
    if (nullable && value.kind == Scalar::Null) return true;
    return wrong_type(nullable ? "a number or null" : "a number", got);
  };
  const auto whole = [&](uint64_t limit, auto& target) {
    if (value.kind == Scalar::Unsigned) {
      uint64_t parsed = 0;
      const auto [end, error] =
          std::from_chars(value.text.data(), value.text.data() + value.text.size(), parsed);
      if (error == std::errc{} && parsed <= limit) {
        target = static_cast<std::remove_reference_t<decltype(target)>>(parsed);
        return true;
      }
      return fail(field_path() + ": " + std::string(value.text) + " is out of range");
    }
    return wrong_type("a whole number", got);
  };
  LoadedRun* run = frame.where == Where::Run ? &document_.runs.back() : nullptr;
  const auto mark = [&](unsigned bit) { run_keys_.back() |= bit; };
  switch (frame.where) {
    case Where::Top:
      switch (frame.field) {
        case Field::SchemaVersion: {
          uint64_t version = 0;
          if (!whole(UINT64_MAX, version)) return false;
          if (version != 1) {
            return fail("unknown schema_version " + std::to_string(version) +
                        " (this program reads 1 and documents without one)");
          }
          document_.schema_version = 1;
          return true;
        }
        case Field::Program: {
          std::string program;
          if (!text(false, program)) return false;
          if (program != "tarnwick") {
            return fail("not a result document of this program (program is '" + program + "')");
          }
          seen_program_ = true;
          return true;
        }
        case Field::Status:
          return text(false, document_.status);
        case Field::Library:
        case Field::Environment:
        case Field::Host:
          return wrong_type("an object", got);
        case Field::Runs:
          return wrong_type("an array", got);
        default:
          return true;
      }
    case Where::Library:
      if (frame.field != Field::Version) return true;
      seen_version_ = true;
      return text(false, document_.library_version);
    case Where::Environment:
      if (frame.field == Field::Timestamp) return text(true, document_.timestamp);
      if (frame.field == Field::Hostname) return text(true, document_.hostname);
      if (frame.field == Field::Cpu) return wrong_type("an object", got);
      return true;
    case Where::Cpu:
      if (frame.field == Field::Model) return text(true, environment_cpu_model_);
      if (frame.field == Field::Arch) return text(true, document_.arch);
      return true;
    case Where::Host:
      if (frame.field == Field::CpuModel) return text(true, host_cpu_model_);
      return true;
    case Where::Run:
      switch (frame.field) {
        case Field::Id:
          mark(RUN_ID);
          if (!text(false, run->id)) return false;
          if (run->id.empty()) return fail(field_path() + ": empty");
          return true;
        case Field::Label:
          mark(RUN_LABEL);
          return text(false, run->label);
        case Field::Repetition:
          mark(RUN_REPETITION);
          if (!whole(UINT32_MAX, run->repetition)) return false;
          if (run->repetition == 0) return fail(field_path() + ": 0, but repetitions count from 1");
          return true;
        case Field::Started:
          return text(true, run->started);
        case Field::Ended:
          return text(true, run->ended);
        case Field::Status:
          mark(RUN_STATUS);
          if (!whole(2, run->status)) return false;
          return true;
        case Field::Reason:
          return text(false, run->reason);
        case Field::Threads:
          mark(RUN_THREADS);
          return whole(UINT32_MAX, run->threads);
        case Field::MeanRate:
          return number(true, run->mean_rate);
        case Field::CvPercent:
          return number(true, run->cv_percent);
        case Field::Unstable:
          if (value.kind != Scalar::Bool) return wrong_type("true or false", got);
          run->unstable = value.boolean;
          return true;
        case Field::MeasuredSeconds:
          mark(RUN_MEASURED);
          return number(false, run->measured_seconds);
        case Field::Operations:
          mark(RUN_OPERATIONS);
          return whole(UINT64_MAX, run->operations);
        case Field::Checksum:
          mark(RUN_CHECKSUM);
          return whole(UINT64_MAX, run->checksum);
        case Field::Samples:
          return wrong_type("an array", got);
        default:
          return true;
      }
    case Where::Sample:
      if (frame.field == Field::Rate) return number(false, sample_rate_);
      if (frame.field == Field::Duration) return number(false, sample_duration_);
      return true;
    case Where::Runs:
    case Where::Samples:
      break;
  }
  return true;
}

std::variant<LoadedDocument, std::string> DocumentHandler::finish(rapidjson::ParseResult parsed,
                                                                  std::string_view text) {
  if (parsed.IsError()) {
    if (parsed.Code() == rapidjson::kParseErrorTermination) return error_;
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return "empty: no JSON text";
    const size_t at = std::min(parsed.Offset(), text.size());
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < at; ++i) {
      if (text[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    if (at == text.size() && frames_.size() + skip_depth_ > 0) {
      return "truncated: the text ends inside the document, at line " + std::to_string(line);
    }
    std::string detail = rapidjson::GetParseError_En(parsed.Code());
    if (!detail.empty() && detail.back() == '.') detail.pop_back();
    detail[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(detail[0])));
    return "not JSON at line " + std::to_string(line) + ", column " +
           std::to_string(at - line_start + 1) + ": " + detail;
  }
  if (!seen_program_) return "not a result document of this program (no \"program\" key)";
  if (!seen_version_) return "library.version is missing";
  if (!seen_runs_) return "runs is missing";
  static constexpr std::array<std::pair<unsigned, const char*>, 8> REQUIRED{{
      {RUN_ID, "id"},
      {RUN_LABEL, "label"},
      {RUN_REPETITION, "repetition"},
      {RUN_STATUS, "status"},
      {RUN_THREADS, "threads"},
      {RUN_MEASURED, "measured_seconds"},
      {RUN_OPERATIONS, "operations"},
      {RUN_CHECKSUM, "checksum"},
  }};
  for (size_t i = 0; i < document_.runs.size(); ++i) {
    for (const auto& [bit, name] : REQUIRED) {
      if (document_.schema_version == 0 && (bit == RUN_ID || bit == RUN_REPETITION)) continue;
      if ((run_keys_[i] & bit) == 0) {
        return "runs[" + std::to_string(i) + "]." + name + " is missing";
      }
    }
    if (document_.schema_version == 0) {
      document_.runs[i].id = content_ids_[i];
      document_.runs[i].repetition = 1;
      document_.runs[i].started.reset();
      document_.runs[i].ended.reset();
    }
  }
  document_.cpu_model = environment_cpu_model_ ? environment_cpu_model_ : host_cpu_model_;
  if (document_.schema_version == 0) {
    // The host of a 0.0.2 document is unknown beyond its CPU model.
    document_.hostname.reset();
    document_.timestamp.reset();
    document_.arch.reset();
    document_.environment_json.clear();
  }
  return std::move(document_);
}

}  // namespace

std::variant<LoadedDocument, std::string> read_document(std::string_view text,
                                                        ReadOptions options) {
  try {
    // Iterative, so that deep nesting cannot exhaust the stack; strings
    // must be valid UTF-8, as the writer makes them.
    constexpr unsigned FLAGS = rapidjson::kParseIterativeFlag |
                               rapidjson::kParseNumbersAsStringsFlag |
                               rapidjson::kParseValidateEncodingFlag;
    DocumentHandler handler(options);
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::Reader reader;
    const rapidjson::ParseResult parsed = reader.Parse<FLAGS>(stream, handler);
    return handler.finish(parsed, text);
  } catch (const std::bad_alloc&) {
    return std::string("out of memory while reading the document");
  } catch (const std::exception& error) {
    return std::string("cannot read the document: ") + error.what();
  }
}

std::variant<LoadedDocument, std::string> read_document_file(const std::string& path,
                                                             ReadOptions options) {
  try {
    struct Closer {
      void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };
    const bool standard_input = path == "-";
    std::unique_ptr<std::FILE, Closer> owned;
    std::FILE* file = stdin;
    if (!standard_input) {
      owned.reset(std::fopen(path.c_str(), "rb"));
      file = owned.get();
    }
    const std::string name = standard_input ? "standard input" : "'" + path + "'";
    if (file == nullptr) return "cannot read " + name + ": " + std::strerror(errno);
    std::string text;
    char buffer[1 << 16];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
    if (std::ferror(file) != 0) return "cannot read " + name + ": " + std::strerror(errno);
    auto result = read_document(text, options);
    if (auto* reason = std::get_if<std::string>(&result)) *reason = name + ": " + *reason;
    return result;
  } catch (const std::bad_alloc&) {
    return std::string("out of memory while reading '") + path + "'";
  }
}

}  // namespace tarnwick
