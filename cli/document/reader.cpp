#include "reader.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <utility>

#include "document/label.hpp"
#include "document/status.hpp"
#include "util/text.hpp"

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
  SampleCount,
  Samples,
  Time,
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
                              KeyName{"sample_count", Field::SampleCount},
                              KeyName{"samples", Field::Samples}};
constexpr std::array SAMPLE_KEYS{KeyName{"time", Field::Time}, KeyName{"duration", Field::Duration},
                                 KeyName{"operations", Field::Operations},
                                 KeyName{"rate", Field::Rate}};

template <size_t N>
Field find_field(const std::array<KeyName, N>& keys, std::string_view name) {
  for (const KeyName& key : keys) {
    // The first byte tells most keys apart without a comparison call.
    if (key.name.size() == name.size() && key.name[0] == name[0] && key.name == name) {
      return key.field;
    }
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
  RUN_SAMPLES = 1u << 8,
  RUN_SAMPLE_COUNT = 1u << 9,
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

// A number in its one text as the history writes it back, which is what the
// id of a 0.0.2 run hashes (the previous release did the same, so the ids
// stored then still match): an integer as its decimal value, any other
// number as the shortest text that reads back as the same double, with a
// fraction or exponent (5e-2 and 0.050 as 0.05, 2e0 as 2.0, -0e0 as -0.0).
// An integer and a fraction stay apart: the history keeps each as written.
// None for a number the history could not write back as read: an integer
// beyond 64 bits (it would come back a rounded double) or a fraction out of
// a double's range.
std::optional<std::string> canonical_number(Scalar::Kind kind, std::string_view text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (kind == Scalar::Unsigned) {
    uint64_t whole = 0;
    const auto [end, error] = std::from_chars(first, last, whole);
    if (error == std::errc() && end == last) return std::to_string(whole);
  } else if (kind == Scalar::Signed) {
    int64_t whole = 0;  // -0 reads back as 0
    const auto [end, error] = std::from_chars(first, last, whole);
    if (error == std::errc() && end == last) return std::to_string(whole);
  }
  if (kind != Scalar::Float) return std::nullopt;
  double number = 0;
  const auto [end, error] = std::from_chars(first, last, number);
  if (error != std::errc() || end != last || !std::isfinite(number)) return std::nullopt;
  return nlohmann::json(number).dump();
}

// The one text of a number in written documents: the shortest that reads
// back as the same double.
std::string number_text(double value) { return fmt::format("{}", value); }

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

bool is_run_id(std::string_view id) {
  return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Newlines in [first, last), eight bytes at a time: every byte read is
// counted once, so this is on the reader's hot path.
size_t count_newlines(const char* first, const char* last) {
  constexpr uint64_t ONES = 0x0101010101010101ULL;
  constexpr uint64_t LOW7 = 0x7f7f7f7f7f7f7f7fULL;
  size_t count = 0;
  for (; last - first >= 8; first += 8) {
    uint64_t word = 0;
    std::memcpy(&word, first, sizeof word);
    const uint64_t x = word ^ (ONES * '\n');  // a zero byte where a newline was
    // 0x80 in exactly the zero bytes, then their number.
    const uint64_t zeros = ~(((x & LOW7) + LOW7) | x | LOW7);
    count += static_cast<size_t>(((zeros >> 7) * ONES) >> 56);
  }
  for (; first != last; ++first) count += *first == '\n' ? 1 : 0;
  return count;
}

// RapidJSON's input stream over a file read in chunks, or over text in
// memory. It stops (reads as the end) where the current document would pass
// the size limit, so no input can make the reader hold more than that.
class ChunkStream {
 public:
  using Ch = char;
  static constexpr size_t CHUNK = size_t{1} << 16;

  ChunkStream(int fd, std::string_view pending, int copy_fd)
      : fd_(fd),
        copy_fd_(copy_fd),
        size_(std::max(CHUNK, pending.size())),
        buffer_(new char[size_]) {
    std::copy(pending.begin(), pending.end(), buffer_.get());
    copy(pending.data(), pending.size());
    begin_ = pos_ = buffer_.get();
    end_ = begin_ + pending.size();
    set_stop();
  }
  explicit ChunkStream(std::string_view text)
      : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {
    set_stop();
  }

  [[gnu::always_inline]] Ch Peek() {
    if (pos_ == stop_ && !more()) return '\0';
    return *pos_;
  }
  [[gnu::always_inline]] Ch Take() {
    if (pos_ == stop_ && !more()) return '\0';
    return *pos_++;
  }
  [[nodiscard]] size_t Tell() const { return before_buffer_ + static_cast<size_t>(pos_ - begin_); }
  // Unused: the reader does not parse in place.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

  // A new document (or a search for one) starts here: its limit counts from now.
  void start_document() {
    document_start_ = Tell();
    at_boundary_ = false;
    boundary_ = find_boundary(pos_);
    set_stop();
  }
  // True when reading stopped where a line begins with '{': in JSON lines
  // and in pretty-printed documents, only a new document starts so (inner
  // lines are indented), so an unfinished one ends there.
  [[nodiscard]] bool at_boundary() const { return at_boundary_; }
  // True when no byte is left (reading more if needed).
  bool exhausted() { return Peek() == '\0' && pos_ == end_ && !over_limit_; }
  [[nodiscard]] bool over_limit() const { return over_limit_; }
  [[nodiscard]] const std::optional<std::string>& read_error() const { return read_error_; }

  [[nodiscard]] size_t line() {
    if (counted_ < begin_ || counted_ > pos_) {
      counted_ = begin_;
      lines_counted_ = 0;
    }
    lines_counted_ += count_newlines(counted_, pos_);
    counted_ = pos_;
    return lines_before_ + lines_counted_ + 1;
  }
  [[nodiscard]] size_t column() const {
    const char* at = pos_;
    while (at != begin_ && at[-1] != '\n') --at;
    return (at == begin_ ? column_before_ : 0) + static_cast<size_t>(pos_ - at) + 1;
  }

 private:
  // Where reading must stop in the buffer: at its end, at the document's
  // size limit or at the next line that begins with '{'.
  void set_stop() {
    const size_t used = Tell() - document_start_;
    const size_t left = used >= MAX_DOCUMENT_BYTES ? 0 : MAX_DOCUMENT_BYTES - used;
    stop_ = static_cast<size_t>(end_ - pos_) > left ? pos_ + left : end_;
    if (boundary_ != nullptr && boundary_ >= pos_ && boundary_ < stop_) stop_ = boundary_;
  }
  // The '{' of the first "\n{" after `from`, or null. Braces are rarer than
  // newlines in the program's documents: they are what is searched for.
  const char* find_boundary(const char* from) const {
    // Eight bytes at a time: a '{' whose preceding byte is '\n'.
    constexpr uint64_t ONES = 0x0101010101010101ULL;
    constexpr uint64_t LOW7 = 0x7f7f7f7f7f7f7f7fULL;
    const auto zeros = [](uint64_t x) { return ~(((x & LOW7) + LOW7) | x | LOW7); };
    const char* at = from + 1;
    for (; end_ - at >= 8; at += 8) {
      uint64_t word = 0, previous = 0;
      std::memcpy(&word, at, sizeof word);
      std::memcpy(&previous, at - 1, sizeof previous);
      const uint64_t both = zeros(word ^ (ONES * '{')) & zeros(previous ^ (ONES * '\n'));
      if (both != 0) return at + __builtin_ctzll(both) / 8;
    }
    for (; at < end_; ++at) {
      if (*at == '{' && at[-1] == '\n') return at;
    }
    return nullptr;
  }

  // Called at stop_: refills the buffer, or marks the limit; false when no
  // byte can be read.
  [[gnu::noinline]] bool more() {
    if (pos_ != end_) {
      if (pos_ == boundary_) {
        at_boundary_ = true;
      } else {
        over_limit_ = true;
      }
      return false;
    }
    if (fd_ < 0 || eof_) return false;
    if (counted_ < begin_ || counted_ > end_) {
      counted_ = begin_;
      lines_counted_ = 0;
    }
    lines_before_ += lines_counted_ + count_newlines(counted_, end_);
    const char* last = end_;
    while (last != begin_ && last[-1] != '\n') --last;
    column_before_ = (last == begin_ ? column_before_ : 0) + static_cast<size_t>(end_ - last);
    const bool line_ended = end_ != begin_ && end_[-1] == '\n';
    before_buffer_ += static_cast<size_t>(end_ - begin_);
    begin_ = pos_ = end_ = stop_ = counted_ = buffer_.get();
    lines_counted_ = 0;
    ssize_t got = 0;
    do {
      got = ::read(fd_, buffer_.get(), size_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      if (got < 0) read_error_ = std::strerror(errno);
      eof_ = true;
      return false;
    }
    end_ = begin_ + got;
    boundary_ =
        line_ended && *begin_ == '{' && Tell() > document_start_ ? begin_ : find_boundary(begin_);
    set_stop();
    if (!copy(begin_, static_cast<size_t>(got))) {
      eof_ = true;
      end_ = stop_ = pos_;
      return false;
    }
    if (pos_ == stop_) {
      if (pos_ == boundary_) {
        at_boundary_ = true;
      } else {
        over_limit_ = true;
      }
      return false;
    }
    return true;
  }

  // Writes what was read to the copy, if any; false (with the reason kept
  // as a read error) when that fails.
  bool copy(const char* bytes, size_t size) {
    while (copy_fd_ >= 0 && size > 0) {
      const ssize_t wrote = ::write(copy_fd_, bytes, size);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        read_error_ = std::string("cannot keep a copy: ") + std::strerror(errno);
        return false;
      }
      bytes += wrote;
      size -= static_cast<size_t>(wrote);
    }
    return true;
  }

  int fd_ = -1;
  int copy_fd_ = -1;
  size_t size_ = 0;
  std::unique_ptr<char[]> buffer_;  // not zeroed: every byte used is read first
  const char* begin_ = nullptr;     // the buffer's first byte
  const char* pos_ = nullptr;
  const char* end_ = nullptr;       // past the bytes read
  const char* stop_ = nullptr;      // end_, or where the size limit or a boundary is
  const char* boundary_ = nullptr;  // the next line's '{', if in this buffer
  bool at_boundary_ = false;
  size_t before_buffer_ = 0;  // bytes of the buffers before this one
  size_t document_start_ = 0;
  size_t lines_before_ = 0;        // newlines in the buffers before this one
  const char* counted_ = nullptr;  // newlines of this buffer are counted up to here
  size_t lines_counted_ = 0;
  size_t column_before_ = 0;  // bytes of the current line in those buffers
  bool eof_ = false;
  bool over_limit_ = false;
  std::optional<std::string> read_error_;
};

// Numbers arrive as their text; these turn them into values or a reason.
std::optional<std::string> parse_double(const Scalar& value, double& out) {
  if (value.kind != Scalar::Signed && value.kind != Scalar::Unsigned &&
      value.kind != Scalar::Float) {
    return std::string("not a number");
  }
  const char* first = value.text.data();
  const char* last = first + value.text.size();
  const auto [end, error] = std::from_chars(first, last, out);
  if (error != std::errc{} || end != last || !std::isfinite(out)) {
    return fmt::format("{} is out of range", value.text);
  }
  // A whole number beyond 2^53 may not be a double: refused, not rounded.
  if (value.kind != Scalar::Float && value.text.size() > 15) {
    const bool negative = value.kind == Scalar::Signed;
    uint64_t magnitude = 0;
    const auto parsed = std::from_chars(first + (negative ? 1 : 0), last, magnitude);
    const double back = negative ? -out : out;
    if (parsed.ec != std::errc{} || back >= 18446744073709551616.0 ||
        static_cast<uint64_t>(back) != magnitude) {
      return fmt::format("{} cannot be represented exactly", value.text);
    }
  }
  return std::nullopt;
}

// The handler of the streaming parser: it follows the few paths it reads,
// checks every value it keeps, counts its way through everything else, and
// keeps the JSON text when asked. At the first bad value it records the
// reason with the value's path and stops looking (the document is refused
// whole) but lets the parser reach the document's end, so that the next
// document can be read; only nesting past the limit stops the parser.
class DocumentHandler {
 public:
  explicit DocumentHandler(ReadOptions options) : options_(options) {}

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
  bool Key(const char* text, rapidjson::SizeType length, bool /*copy*/);

  [[nodiscard]] bool too_deep() const { return too_deep_; }
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
    size_t count = 0;            // elements started so far, in an array
    uint64_t seen = 0;           // the known keys met so far, in an object
  };

  // Records the first reason; the parse goes on to the document's end.
  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return true;
  }
  [[nodiscard]] bool refused() const { return !error_.empty(); }

  [[nodiscard]] std::string path() const;
  [[nodiscard]] std::string field_path() const;
  bool bad(const std::string& what) { return fail(field_path() + ": " + what); }
  bool wrong_type(const char* expected, const char* got) {
    const std::string at = field_path();
    return fail((at.empty() ? "" : at + ": ") + "expected " + expected + ", got " + got);
  }

  bool open(bool object);
  bool close(char bracket);
  bool scalar(const Scalar& value);
  bool assign(Frame& frame, const Scalar& value);
  bool close_run();
  bool close_sample();
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
  size_t capture_empty_array() {
    capture_raw("[]");
    return capture_->size() - 2;
  }
  void capture_raw(std::string_view text) {
    if (comma_) *capture_ += ',';
    *capture_ += text;
    comma_ = true;
  }

  ReadOptions options_;
  LoadedDocument document_;
  std::vector<Frame> frames_;
  size_t skip_depth_ = 0;  // nesting inside a skipped object or array
  size_t depth_ = 0;       // all nesting, for the limit
  bool too_deep_ = false;
  std::string error_;

  bool seen_program_ = false, seen_version_ = false, seen_runs_ = false;
  std::optional<std::string> host_cpu_model_, environment_cpu_model_;

  // The run being read.
  unsigned run_keys_ = 0;
  unsigned sample_keys_ = 0;
  uint64_t samples_ = 0, operations_sum_ = 0;
  bool operations_overflow_ = false;
  std::optional<double> last_time_;
  double sample_time_ = 0, sample_duration_ = 0, sample_rate_ = 0;
  uint64_t sample_operations_ = 0;
  // The id of a 0.0.2 run hashes its keys and values in their order, each
  // number in its canonical text, and its samples in the layout the history
  // writes them back in: time, duration, operations, rate.
  ContentHash run_hash_;
  bool hash_run_ = false;  // the run is hashed: no schema_version 1 so far
  bool hashing_ = false;   // what is read now goes into run_hash_
  std::array<std::string, 4> sample_numbers_;
  std::vector<std::set<std::string>> hashed_keys_;  // of each hashed object open
  // Of every run read: its RunKey bits and, for a 0.0.2 run, its id.
  std::vector<unsigned> run_keys_of_;
  std::vector<std::string> content_ids_;

  std::string* capture_ = nullptr;  // the JSON text being kept, when keep_json
  bool comma_ = false;              // a value precedes, in the text being kept
};

std::string DocumentHandler::path() const {
  std::string text;
  for (size_t i = 0; i < frames_.size(); ++i) {
    switch (frames_[i].where) {
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
      case Where::Sample:
        text += ".samples[" + std::to_string(frames_[i - 1].count - 1) + "]";
        break;
    }
  }
  return text;
}

std::string DocumentHandler::field_path() const {
  if (frames_.empty()) return {};
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
  if (name.empty()) return text;
  return text.empty() ? std::string(name) : text + "." + std::string(name);
}

bool DocumentHandler::Key(const char* text, rapidjson::SizeType length, bool /*copy*/) {
  if (refused()) return true;
  const std::string_view name(text, length);
  if (capture_ != nullptr) {
    if (comma_) *capture_ += ',';
    append_quoted(*capture_, name);
    *capture_ += ':';
    comma_ = false;
  }
  if (hashing_) {
    // Every key goes into the id, and the history writes an object back
    // with one of each: a key given twice would change the id on export.
    if (!hashed_keys_.back().insert(std::string(name)).second) {
      return fail(path() + ": '" + printable(name.substr(0, 64)) + "' given twice");
    }
    run_hash_.add('k', name);
  }
  if (skip_depth_ > 0) return true;
  Frame& frame = frames_.back();
  frame.field = field_of(frame.where, name);
  if (frame.field != Field::Other) {
    const uint64_t bit = uint64_t{1} << static_cast<unsigned>(frame.field);
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
  if (skip_depth_ > 0) {
    ++skip_depth_;
    if (hashing_) hash_open(object);
    if (capture_ != nullptr) capture_raw(object ? "{" : "[");
    if (capture_ != nullptr) comma_ = false;
    return true;
  }
  const char* got = object ? "an object" : "an array";
  if (frames_.empty()) {
    if (!object) {
      return fail("not a result document: expected a JSON object, got an array");
    }
    frames_.push_back({Where::Top});
    if (options_.keep_json) {
      capture_ = &document_.json;
      *capture_ = "{";
      comma_ = false;
    }
    return true;
  }
  Frame& parent = frames_.back();
  std::optional<Where> child;
  bool wanted_object = true;
  switch (parent.where) {
    case Where::Top:
      if (parent.field == Field::Library) {
        child = Where::Library;
      } else if (parent.field == Field::Environment) {
        child = Where::Environment;
      } else if (parent.field == Field::Host) {
        child = Where::Host;
      } else if (parent.field == Field::Runs) {
        child = Where::Runs;
        wanted_object = false;
      } else if (parent.field != Field::Other) {
        return wrong_type(parent.field == Field::SchemaVersion ? "a whole number" : "a string",
                          got);
      }
      break;
    case Where::Runs:
      ++parent.count;
      child = Where::Run;
      break;
    case Where::Samples:
      ++parent.count;
      child = Where::Sample;
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
        child = Where::Samples;
        wanted_object = false;
      } else if (parent.field != Field::Other) {
        return wrong_type(parent.field == Field::Unstable ? "true or false" : "a scalar value",
                          got);
      }
      break;
    default:
      if (parent.field != Field::Other) return wrong_type("a scalar value", got);
      break;
  }
  if (child && object != wanted_object) {
    return wrong_type(wanted_object ? "an object" : "an array", got);
  }
  if (!child) {
    skip_depth_ = 1;
    if (hashing_) hash_open(object);
    if (capture_ != nullptr) {
      capture_raw(object ? "{" : "[");
      comma_ = false;
    }
    return true;
  }
  frames_.push_back({*child});
  switch (*child) {
    case Where::Runs:
      seen_runs_ = true;
      // The runs are kept apart from the document's text, each in its own.
      if (capture_ != nullptr) document_.runs_at = capture_empty_array();
      capture_ = nullptr;
      break;
    case Where::Run:
      document_.runs.emplace_back();
      run_keys_ = 0;
      samples_ = operations_sum_ = 0;
      operations_overflow_ = false;
      last_time_.reset();
      // A document is a 0.0.2 one unless it says schema_version 1, which
      // may come after its runs: until then each run is hashed for its id.
      hash_run_ = hashing_ = document_.schema_version == 0;
      if (hash_run_) {
        run_hash_ = ContentHash{};
        hashed_keys_.clear();
        hash_open(true);
      }
      if (options_.keep_json) {
        capture_ = &document_.runs.back().json;
        *capture_ = "{";
        comma_ = false;
      }
      break;
    case Where::Samples:
      run_keys_ |= RUN_SAMPLES;
      if (hashing_) run_hash_.add('[', {});
      // The samples are kept as numbers; the run's text holds an empty array.
      if (capture_ != nullptr) document_.runs.back().samples_at = capture_empty_array();
      capture_ = nullptr;
      break;
    case Where::Sample:
      sample_keys_ = 0;
      hashing_ = false;  // hashed when complete, in the layout written back
      break;
    default:
      if (capture_ != nullptr) {
        capture_raw("{");
        comma_ = false;
      }
      break;
  }
  return true;
}

bool DocumentHandler::close(char bracket) {
  --depth_;
  if (refused()) return true;
  if (skip_depth_ > 0) {
    --skip_depth_;
    if (hashing_) hash_close(bracket);
    if (capture_ != nullptr) {
      *capture_ += bracket;
      comma_ = true;
    }
    return true;
  }
  const Where where = frames_.back().where;
  bool ok = true;
  switch (where) {
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
      if (ok && hash_run_) {
        static constexpr std::array NAMES{"time", "duration", "operations", "rate"};
        run_hash_.add('{', {});
        for (size_t i = 0; i < NAMES.size(); ++i) {
          run_hash_.add('k', NAMES[i]);
          run_hash_.add('n', sample_numbers_[i]);
        }
        run_hash_.add('}', {});
        hashing_ = true;
      }
      break;
    default:
      if (capture_ != nullptr) {
        *capture_ += bracket;
        comma_ = true;
      }
      break;
  }
  frames_.pop_back();
  return ok;
}

bool DocumentHandler::close_sample() {
  constexpr unsigned ALL = 0xf;
  if (sample_keys_ != ALL) {
    static constexpr std::array NAMES{"time", "duration", "operations", "rate"};
    for (unsigned i = 0; i < NAMES.size(); ++i) {
      if ((sample_keys_ & (1u << i)) == 0) return fail(path() + ": " + NAMES[i] + " is missing");
    }
  }
  if (last_time_ && !(sample_time_ > *last_time_)) {
    return fail(fmt::format("{}.time: {} does not come after the previous sample's {}", path(),
                            number_text(sample_time_), number_text(*last_time_)));
  }
  last_time_ = sample_time_;
  ++samples_;
  if (__builtin_add_overflow(operations_sum_, sample_operations_, &operations_sum_)) {
    operations_overflow_ = true;
  }
  LoadedRun& run = document_.runs.back();
  if (options_.samples) {
    run.rates.push_back(sample_rate_);
    run.durations.push_back(sample_duration_);
  }
  if (options_.keep_json) {
    run.times.push_back(sample_time_);
    run.sample_operations.push_back(static_cast<int64_t>(sample_operations_));
  }
  return true;
}

bool DocumentHandler::close_run() {
  LoadedRun& run = document_.runs.back();
  const std::string at = "runs[" + std::to_string(document_.runs.size() - 1) + "]";
  static constexpr std::array<std::pair<unsigned, const char*>, 9> REQUIRED{{
      {RUN_ID, "id"},
      {RUN_LABEL, "label"},
      {RUN_REPETITION, "repetition"},
      {RUN_STATUS, "status"},
      {RUN_THREADS, "threads"},
      {RUN_MEASURED, "measured_seconds"},
      {RUN_OPERATIONS, "operations"},
      {RUN_CHECKSUM, "checksum"},
      {RUN_SAMPLES, "samples"},
  }};
  for (const auto& [bit, name] : REQUIRED) {
    // 0.0.2 runs have no id or repetition, and may lack samples: checked
    // at the end, when the document's version is known.
    if (bit == RUN_ID || bit == RUN_REPETITION || bit == RUN_SAMPLES) continue;
    if ((run_keys_ & bit) == 0) return fail(at + "." + name + " is missing");
  }
  if (run.status != Status::failed && run.threads == 0) {
    return fail(at + ".threads: 0, but a completed or cancelled run has at least one worker");
  }
  if ((run_keys_ & RUN_SAMPLE_COUNT) != 0 && run.sample_count != samples_) {
    return fail(fmt::format("{}.sample_count: {}, but the run has {} samples", at, run.sample_count,
                            samples_));
  }
  run.sample_count = samples_;
  if ((run_keys_ & RUN_SAMPLES) != 0 &&
      (operations_overflow_ || operations_sum_ != run.operations)) {
    return fail(fmt::format(
        "{}.operations: {}, but its samples' operations add up to {}", at, run.operations,
        operations_overflow_ ? std::string("more than 2^64") : std::to_string(operations_sum_)));
  }
  run_keys_of_.push_back(run_keys_);
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
      if (comma_) *capture_ += ',';
      append_quoted(*capture_, value.text);
      comma_ = true;
      break;
    default:
      capture_raw(value.text);
      break;
  }
}

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
  const auto refuse = [&] {
    return fail(fmt::format("{}: {} cannot be represented exactly", path(), value.text));
  };
  if (hashing_) {
    const auto number = canonical_number(value.kind, value.text);
    if (!number) return refuse();
    run_hash_.add('n', *number);
    return true;
  }
  // A sample's own numbers; anything else in it is not written back. The
  // history keeps its time, duration and rate as doubles (1 comes back as
  // 1.0), its operations as an integer.
  const Frame& frame = frames_.back();
  if (skip_depth_ > 0 || frame.where != Where::Sample) return true;
  static constexpr std::array FIELDS{Field::Time, Field::Duration, Field::Operations, Field::Rate};
  for (size_t i = 0; i < FIELDS.size(); ++i) {
    if (frame.field != FIELDS[i]) continue;
    // A bad value is refused by the field's own check, with its reason.
    auto number =
        canonical_number(FIELDS[i] == Field::Operations ? value.kind : Scalar::Float, value.text);
    if (number) sample_numbers_[i] = std::move(*number);
  }
  return true;
}

bool DocumentHandler::scalar(const Scalar& value) {
  if (refused()) return true;
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
  // A UTC time of the documents' forms, kept with its parsed value.
  const auto time = [&](auto& target, auto& parsed) {
    if (value.kind == Scalar::Null) return true;
    if (value.kind != Scalar::String) return wrong_type("a UTC time or null", got);
    parsed = parse_utc(value.text);
    if (!parsed) {
      return bad(fmt::format("'{}' is not a UTC time (YYYY-MM-DDTHH:MM:SS[.mmm]Z)",
                             printable(value.text.substr(0, 64))));
    }
    target = std::string(value.text);
    return true;
  };
  // A finite number >= 0 (or null when `nullable`).
  const auto number = [&](bool nullable, bool positive, auto& target) {
    if (nullable && value.kind == Scalar::Null) return true;
    double parsed = 0;
    if (value.kind == Scalar::String || value.kind == Scalar::Bool || value.kind == Scalar::Null) {
      return wrong_type(nullable ? "a number or null" : "a number", got);
    }
    if (auto why = parse_double(value, parsed)) return bad(*why);
    if (positive ? !(parsed > 0) : !(parsed >= 0)) {
      return bad(fmt::format("expected a number {} 0, got {}", positive ? ">" : ">=", value.text));
    }
    target = parsed;
    return true;
  };
  const auto whole = [&](uint64_t limit, auto& target) {
    if (value.kind == Scalar::Unsigned) {
      uint64_t parsed = 0;
      const char* last = value.text.data() + value.text.size();
      const auto [end, error] = std::from_chars(value.text.data(), last, parsed);
      if (error == std::errc{} && end == last && parsed <= limit) {
        target = static_cast<std::remove_reference_t<decltype(target)>>(parsed);
        return true;
      }
      return bad(std::string(value.text) + " is out of range");
    }
    return wrong_type("a whole number", got);
  };
  LoadedRun* run = frame.where == Where::Run ? &document_.runs.back() : nullptr;
  const auto mark = [&](unsigned bit) { run_keys_ |= bit; };
  switch (frame.where) {
    case Where::Top:
      switch (frame.field) {
        case Field::SchemaVersion: {
          uint64_t version = 0;
          if (!whole(UINT64_MAX, version) || refused()) return true;
          if (version != 1) {
            return fail("unknown schema_version " + std::to_string(version) +
                        " (this program reads 1 and documents without one)");
          }
          document_.schema_version = 1;
          return true;
        }
        case Field::Program: {
          std::string program;
          if (!text(false, program) || refused()) return true;
          if (program != "tarnwick") {
            return fail("not a result document of this program (program is '" +
                        printable(program.substr(0, 64)) + "')");
          }
          seen_program_ = true;
          return true;
        }
        case Field::Status: {
          std::string status;
          if (!text(false, status) || refused()) return true;
          document_.status = parse_status(status);
          if (!document_.status) {
            return bad("expected completed, cancelled or failed, got '" +
                       printable(status.substr(0, 64)) + "'");
          }
          return true;
        }
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
      if (frame.field == Field::Timestamp) return time(document_.timestamp, document_.timestamp_at);
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
          if (!text(false, run->id) || refused()) return true;
          // Checked at the end: a 0.0.2 run's id is replaced by its hash.
          return true;
        case Field::Label:
          mark(RUN_LABEL);
          if (!text(false, run->label) || refused()) return true;
          if (!parse_label(run->label)) {
            return bad("expected single or all-cpus, got '" + printable(run->label.substr(0, 64)) +
                       "'");
          }
          return true;
        case Field::Repetition:
          mark(RUN_REPETITION);
          if (!whole(UINT32_MAX, run->repetition) || refused()) return true;
          if (run->repetition == 0) return bad("0, but repetitions count from 1");
          return true;
        case Field::Started:
          return time(run->started, run->started_at);
        case Field::Ended: {
          std::optional<UtcMillis> ended;
          return time(run->ended, ended);
        }
        case Field::Status:
          mark(RUN_STATUS);
          return whole(2, run->status);
        case Field::Reason:
          return text(false, run->reason);
        case Field::Threads:
          mark(RUN_THREADS);
          return whole(MAX_THREADS, run->threads);
        case Field::MeanRate:
          return number(true, false, run->mean_rate);
        case Field::CvPercent:
          return number(true, false, run->cv_percent);
        case Field::Unstable:
          if (value.kind != Scalar::Bool) return wrong_type("true or false", got);
          run->unstable = value.boolean;
          return true;
        case Field::MeasuredSeconds:
          mark(RUN_MEASURED);
          return number(false, false, run->measured_seconds);
        case Field::Operations:
          mark(RUN_OPERATIONS);
          return whole(UINT64_MAX, run->operations);
        case Field::Checksum:
          mark(RUN_CHECKSUM);
          return whole(UINT64_MAX, run->checksum);
        case Field::SampleCount:
          mark(RUN_SAMPLE_COUNT);
          return whole(UINT64_MAX, run->sample_count);
        case Field::Samples:
          return wrong_type("an array", got);
        default:
          return true;
      }
    case Where::Sample:
      switch (frame.field) {
        case Field::Time: {
          sample_keys_ |= 1u;
          double parsed = 0;
          if (value.kind == Scalar::String || value.kind == Scalar::Bool ||
              value.kind == Scalar::Null) {
            return wrong_type("a number", got);
          }
          if (auto why = parse_double(value, parsed)) return bad(*why);
          sample_time_ = parsed;
          return true;
        }
        case Field::Duration:
          sample_keys_ |= 2u;
          return number(false, true, sample_duration_);
        case Field::Operations:
          sample_keys_ |= 4u;
          return whole(static_cast<uint64_t>(INT64_MAX), sample_operations_);
        case Field::Rate:
          sample_keys_ |= 8u;
          return number(false, false, sample_rate_);
        default:
          return true;
      }
    case Where::Runs:
    case Where::Samples:
      break;
  }
  return true;
}

std::variant<LoadedDocument, std::string> DocumentHandler::finish() {
  if (refused()) return error_;
  if (!seen_program_) return "not a result document of this program (no \"program\" key)";
  if (!seen_version_) return "library.version is missing";
  if (!seen_runs_) return "runs is missing";
  const bool old = document_.schema_version == 0;
  for (size_t i = 0; i < document_.runs.size(); ++i) {
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
    for (const auto& [bit, name] :
         {std::pair{RUN_ID, "id"}, std::pair{RUN_REPETITION, "repetition"},
          std::pair{RUN_SAMPLES, "samples"}}) {
      if ((run_keys_of_[i] & bit) == 0) return at + "." + name + " is missing";
    }
    if (!is_run_id(run.id)) {
      return at + ".id: '" + printable(run.id.substr(0, 64)) +
             "' is not a run id (32 lower-case hex digits)";
    }
  }
  document_.cpu_model = environment_cpu_model_ ? environment_cpu_model_ : host_cpu_model_;
  if (document_.schema_version == 0) {
    // The host of a 0.0.2 document is unknown beyond its CPU model.
    document_.hostname.reset();
    document_.timestamp.reset();
    document_.timestamp_at.reset();
    document_.arch.reset();
  }
  return std::move(document_);
}

std::string parse_error_text(rapidjson::ParseErrorCode code) {
  std::string detail = rapidjson::GetParseError_En(code);
  if (!detail.empty() && detail.back() == '.') detail.pop_back();
  if (!detail.empty()) {
    detail[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(detail[0])));
  }
  return detail;
}

}  // namespace

// The reader's state between documents.
struct DocumentReader::State {
  State(int fd, std::string_view pending, int copy_fd, ReadOptions read)
      : stream(fd, pending, copy_fd), options(read) {}
  explicit State(std::string_view text, ReadOptions read) : stream(text), options(read) {}

  std::optional<std::variant<LoadedDocument, std::string>> next();
  // Skips to the next line that begins with '{': where the next document
  // of JSON lines or of pretty-printed documents starts. False when none
  // is found within the size limit.
  bool resynchronise();

  ChunkStream stream;
  ReadOptions options;
  size_t index = 0;  // documents started so far
  bool finished = false;
};

bool DocumentReader::State::resynchronise() {
  stream.start_document();
  for (;;) {
    const char c = stream.Take();
    if (c == '\0') {
      if (stream.at_boundary()) return true;
      if (stream.exhausted() || stream.over_limit()) return !stream.over_limit();
    }
    if (c == '\n' && stream.Peek() == '{') return true;
  }
}

std::optional<std::variant<LoadedDocument, std::string>> DocumentReader::State::next() {
  if (finished) return std::nullopt;
  for (;;) {
    const char c = stream.Peek();
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
    stream.Take();
  }
  if (stream.exhausted()) {
    finished = true;
    if (stream.read_error()) return "cannot read: " + *stream.read_error();
    return std::nullopt;
  }
  ++index;
  const size_t line = stream.line();
  const auto where = [&](const std::string& reason) -> std::string {
    if (index == 1 && line == 1) return reason;
    return fmt::format("document {} (line {}): {}", index, line, reason);
  };
  stream.start_document();
  constexpr unsigned FLAGS = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                             rapidjson::kParseNumbersAsStringsFlag |
                             rapidjson::kParseValidateEncodingFlag;
  DocumentHandler handler(options);
  rapidjson::ParseResult parsed;
  {
    rapidjson::Reader reader;
    parsed = reader.Parse<FLAGS>(stream, handler);
  }
  if (stream.over_limit()) {
    finished = true;
    return where(fmt::format("larger than {} MiB; the rest of the input was not read",
                             MAX_DOCUMENT_BYTES >> 20));
  }
  if (stream.read_error()) {
    finished = true;
    return where("cannot read: " + *stream.read_error());
  }
  if (!parsed.IsError()) return handler.finish();
  std::string reason;
  if (stream.at_boundary()) {
    // Cut off by a line that starts the next document: no resync needed.
    return where(handler.refusal() ? *handler.refusal()
                                   : fmt::format("unfinished: it ends at line {}, where the next "
                                                 "document begins",
                                                 stream.line()));
  }
  if (handler.refusal() && !handler.too_deep()) {
    reason = *handler.refusal();
    if (stream.exhausted()) {
      finished = true;
      return where(reason);
    }
  } else if (handler.too_deep()) {
    reason = fmt::format("nested deeper than {} levels at line {}", MAX_NESTING, stream.line());
  } else if (stream.exhausted()) {
    finished = true;
    return where(
        fmt::format("truncated: the text ends inside the document, at line {}", stream.line()));
  } else if (stream.Peek() == '\0') {
    reason = fmt::format("a NUL byte at line {}, column {}", stream.line(), stream.column());
  } else {
    reason = fmt::format("not JSON at line {}, column {}: {}", stream.line(), stream.column(),
                         parse_error_text(parsed.Code()));
  }
  if (!resynchronise()) {
    finished = true;
    reason += fmt::format("; no further document within {} MiB, the rest was not read",
                          MAX_DOCUMENT_BYTES >> 20);
  }
  return where(reason);
}

DocumentReader::DocumentReader(int fd, ReadOptions options)
    : state_(new State(fd, {}, -1, options)) {}
DocumentReader::DocumentReader(const InputFile& file, ReadOptions options, int copy_fd)
    : state_(new State(file.fd(), file.pending(), copy_fd, options)) {}
DocumentReader::DocumentReader(std::string_view text, ReadOptions options)
    : state_(new State(text, options)) {}
DocumentReader::~DocumentReader() { delete state_; }

std::optional<std::variant<LoadedDocument, std::string>> DocumentReader::next() {
  try {
    return state_->next();
  } catch (const std::bad_alloc&) {
    state_->finished = true;
    return std::string("out of memory while reading the document");
  } catch (const std::exception& error) {
    state_->finished = true;
    return std::string("cannot read the document: ") + error.what();
  }
}

std::variant<LoadedDocument, std::string> read_document(std::string_view text,
                                                        ReadOptions options) {
  DocumentReader reader(text, options);
  auto first = reader.next();
  if (!first) return std::string("empty: no JSON text");
  if (std::holds_alternative<std::string>(*first)) return std::move(*first);
  if (reader.next()) return std::string("more than one document where one was expected");
  return std::move(*first);
}

InputFile::InputFile(int fd, bool owned, bool regular, int64_t modified, std::string name)
    : fd_(fd), owned_(owned), regular_(regular), modified_(modified), name_(std::move(name)) {}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      regular_(other.regular_),
      modified_(other.modified_),
      name_(std::move(other.name_)),
      pending_(std::move(other.pending_)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (owned_) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    owned_ = std::exchange(other.owned_, false);
    regular_ = other.regular_;
    modified_ = other.modified_;
    name_ = std::move(other.name_);
    pending_ = std::move(other.pending_);
  }
  return *this;
}

InputFile::~InputFile() {
  if (owned_) ::close(fd_);
}

std::variant<InputFile, std::string> InputFile::open(const std::string& path, bool scanned) {
  if (path == "-") {
    struct stat info {};
    const bool regular = ::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode);
    return InputFile(STDIN_FILENO, false, regular, regular ? info.st_mtim.tv_sec : 0,
                     "standard input");
  }
  std::string name = "'" + printable(path) + "'";
  // Non-blocking, so that a FIFO (or a device) cannot hold the open; no
  // symbolic link where a folder walk found a regular file.
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (scanned ? O_NOFOLLOW : 0);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    const int error = errno;
    if (scanned && error == ELOOP) return "cannot read " + name + ": a symbolic link";
    return "cannot read " + name + ": " + std::strerror(error);
  }
  InputFile file(fd, true, false, 0, std::move(name));
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot read " + file.name_ + ": " + std::strerror(errno);
  file.modified_ = info.st_mtim.tv_sec;
  if (S_ISREG(info.st_mode)) {
    file.regular_ = true;
  } else if (S_ISFIFO(info.st_mode) && !scanned) {
    // A FIFO without a writer reads as the end at once; with one, as a
    // pipe. A non-blocking read tells them apart without waiting (0: no
    // writer, EAGAIN: a writer that has not written yet); a byte it gets
    // is kept for the reader.
    char probe = 0;
    ssize_t got = 0;
    do {
      got = ::read(fd, &probe, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return "cannot read " + file.name_ + ": a FIFO with no writer";
    if (got < 0 && errno != EAGAIN) {
      return "cannot read " + file.name_ + ": " + std::strerror(errno);
    }
    if (got == 1) file.pending_.assign(1, probe);
  } else {
    const char* what = S_ISDIR(info.st_mode)    ? "a folder"
                       : S_ISCHR(info.st_mode)  ? "a character device"
                       : S_ISBLK(info.st_mode)  ? "a block device"
                       : S_ISFIFO(info.st_mode) ? "a FIFO"
                       : S_ISSOCK(info.st_mode) ? "a socket"
                                                : "not a regular file";
    return "cannot read " + file.name_ + ": " + what + ", not a file of documents";
  }
  // A FIFO with a writer is read as a pipe, waiting for it; a regular file
  // never waits, so its flags stay as they are.
  if (!file.regular_) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return file;
}

std::variant<LoadedDocument, std::string> read_document_file(const std::string& path,
                                                             ReadOptions options) {
  auto opened = InputFile::open(path);
  if (auto* reason = std::get_if<std::string>(&opened)) return std::move(*reason);
  const InputFile& file = std::get<InputFile>(opened);
  DocumentReader reader(file, options);
  auto first = reader.next();
  if (!first) return file.name() + ": empty: no JSON text";
  if (auto* reason = std::get_if<std::string>(&*first)) return file.name() + ": " + *reason;
  if (reader.next()) {
    return file.name() + ": more than one document where one was expected";
  }
  return std::get<LoadedDocument>(std::move(*first));
}

std::size_t SeenRuns::keep_new(LoadedDocument& document) {
  const auto before = document.runs.size();
  std::vector<LoadedRun> kept;
  kept.reserve(before);
  for (LoadedRun& run : document.runs) {
    if (first_time(run.id)) kept.push_back(std::move(run));
  }
  document.runs = std::move(kept);
  return before - document.runs.size();
}

bool SeenRuns::first_time(const std::string& id) { return id.empty() || ids_.insert(id).second; }

ReadDocuments read_documents_file(const std::string& path, ReadOptions options, SeenRuns& seen) {
  ReadDocuments result;
  auto opened = InputFile::open(path);
  if (auto* reason = std::get_if<std::string>(&opened)) {
    result.left_out.push_back(std::move(*reason));
    return result;
  }
  const InputFile& file = std::get<InputFile>(opened);
  DocumentReader reader(file, options);
  size_t count = 0;
  while (auto item = reader.next()) {
    ++count;
    if (auto* reason = std::get_if<std::string>(&*item)) {
      result.left_out.push_back(file.name() + ": " + *reason);
      continue;
    }
    LoadedDocument& document = std::get<LoadedDocument>(*item);
    const bool had_runs = !document.runs.empty();
    result.repeated_runs += seen.keep_new(document);
    if (had_runs && document.runs.empty()) continue;
    result.documents.push_back(std::move(document));
  }
  if (count == 0) result.left_out.push_back(file.name() + ": empty: no JSON text");
  return result;
}

std::string write_document(const LoadedDocument& document) {
  std::string runs = "[";
  for (const LoadedRun& run : document.runs) {
    if (runs.size() > 1) runs += ',';
    std::string samples = "[";
    for (size_t i = 0; i < run.times.size() && i < run.rates.size(); ++i) {
      if (samples.size() > 1) samples += ',';
      samples += fmt::format(R"({{"time":{},"duration":{},"operations":{},"rate":{}}})",
                             number_text(run.times[i]), number_text(run.durations[i]),
                             run.sample_operations[i], number_text(run.rates[i]));
    }
    samples += ']';
    std::string text = run.json;
    if (run.samples_at != std::string::npos && run.samples_at + 2 <= text.size()) {
      text.replace(run.samples_at, 2, samples);
    }
    runs += text;
  }
  runs += ']';
  std::string text = document.json;
  if (document.runs_at + 2 <= text.size()) text.replace(document.runs_at, 2, runs);
  return text;
}

}  // namespace tarnwick
