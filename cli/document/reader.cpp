#include "document/reader.hpp"

#include <fmt/format.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cctype>
#include <cstdlib>
#include <new>
#include <utility>

#include "document/chunk_stream.hpp"
#include "document/document_handler.hpp"

namespace tarnwick {
namespace {

// The parser's stack holds the string, key or number being read (and the
// nesting, at most MAX_NESTING levels), growing by half as it goes: this
// allocator bounds it, so that no string can make it hold more. The check
// of MAX_STRING_BYTES itself is the handler's, on every string's length.
struct StringTooLong {};
class StackAllocator {
 public:
  [[maybe_unused]] static constexpr bool kNeedFree = true;  // rapidjson's allocator concept
  static constexpr std::size_t LIMIT = 2 * MAX_STRING_BYTES + (std::size_t{64} << 10);
  void* Malloc(std::size_t size) { return Realloc(nullptr, 0, size); }
  void* Realloc(void* old, std::size_t /*old_size*/, std::size_t size) {
    if (size > LIMIT) throw StringTooLong{};
    if (size == 0) {
      std::free(old);
      return nullptr;
    }
    void* bigger = std::realloc(old, size);
    if (bigger == nullptr) throw std::bad_alloc();
    return bigger;
  }
  static void Free(void* block) { std::free(block); }
};

std::string parse_error_text(rapidjson::ParseErrorCode code) {
  std::string detail = rapidjson::GetParseError_En(code);
  if (!detail.empty() && detail.back() == '.') detail.pop_back();
  if (!detail.empty()) {
    detail[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(detail[0])));
  }
  return detail;
}

std::variant<LoadedDocument, std::string> only_document(DocumentReader& reader) {
  auto first = reader.next();
  if (!first) return std::string("empty: no JSON text");
  if (std::holds_alternative<std::string>(*first)) return std::move(*first);
  if (reader.next()) return std::string("more than one document where one was expected");
  return std::move(*first);
}

}  // namespace

// The reader's state between documents.
struct DocumentReader::State {
  State(int fd, std::string_view pending, int copy_fd, ReadOptions read)
      : stream(fd, pending, copy_fd), options(read) {}
  explicit State(std::string_view text, ReadOptions read) : stream(text), options(read) {}

  std::optional<std::variant<LoadedDocument, std::string>> next();
  // Why the document that ended in a parse error was refused; finishes
  // the input when nothing more can be read.
  std::string failed(const reading::DocumentHandler& handler, rapidjson::ParseErrorCode code,
                     const std::optional<std::string>& too_long);
  // What went wrong, before anything else is read.
  std::string describe(const reading::DocumentHandler& handler, rapidjson::ParseErrorCode code,
                       const std::optional<std::string>& too_long);

  reading::ChunkStream stream;
  ReadOptions options;
  std::size_t index = 0;  // documents started so far
  bool finished = false;
  bool over_budget = false;
  UtcMillis now = utc_now();  // the time of reading, for the documents' times
};

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
  const std::size_t line = stream.line();
  const auto where = [&](const std::string& reason) -> std::string {
    if (index == 1 && line == 1) return reason;
    return fmt::format("document {} (line {}): {}", index, line, reason);
  };
  stream.start_document();
  constexpr unsigned FLAGS = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                             rapidjson::kParseNumbersAsStringsFlag |
                             rapidjson::kParseValidateEncodingFlag;
  const std::size_t limit = options.budget != nullptr ? options.budget->left() : MEMORY_BUDGET;
  reading::DocumentHandler handler(options, options.now.value_or(now), limit);
  rapidjson::ParseResult parsed;
  std::optional<std::string> too_long;
  try {
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, StackAllocator> reader;
    parsed = reader.Parse<FLAGS>(stream, handler);
  } catch (const StringTooLong&) {
    too_long = fmt::format("a string or number longer than {} MiB at line {}",
                           MAX_STRING_BYTES >> 20, stream.line());
  }
  if (handler.over_budget()) {
    finished = over_budget = true;
    return where(*handler.refusal() + "; the rest of the input was not read");
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
  if (!too_long && !parsed.IsError()) return handler.finish();
  return where(failed(handler, parsed.Code(), too_long));
}

// After a parse error, reading resumes at the first line after the
// document's start that begins with '{': in JSON lines and in documents
// pretty-printed with any indent, where the next document starts, so a
// document cut short ends there even when the parser took the next one
// for a value of it.
std::string DocumentReader::State::failed(const reading::DocumentHandler& handler,
                                          rapidjson::ParseErrorCode code,
                                          const std::optional<std::string>& too_long) {
  const std::size_t error_at = stream.Tell();
  const std::size_t error_line = stream.line();
  std::string reason = describe(handler, code, too_long);
  const std::size_t mark = stream.mark();
  if (mark != reading::ChunkStream::NONE && mark <= error_at) {
    stream.resume();
    if (mark < error_at) {
      return fmt::format(
          "unfinished: line {} begins with '{{' before it ends ({}); read again from there as the "
          "next document",
          stream.line(), reason);
    }
    if (handler.refusal() || too_long) return reason;
    return fmt::format("unfinished: it ends at line {}, where the next document begins",
                       error_line);
  }
  if (stream.exhausted()) {
    finished = true;
    return reason;
  }
  if (!stream.resume()) {
    finished = true;
    reason += fmt::format("; no further document within {} MiB, the rest was not read",
                          MAX_DOCUMENT_BYTES >> 20);
  }
  return reason;
}

std::string DocumentReader::State::describe(const reading::DocumentHandler& handler,
                                            rapidjson::ParseErrorCode code,
                                            const std::optional<std::string>& too_long) {
  if (too_long) return *too_long;
  if (handler.too_deep()) {
    return fmt::format("nested deeper than {} levels at line {}", MAX_NESTING, stream.line());
  }
  if (handler.refusal()) return *handler.refusal();
  if (stream.exhausted()) {
    return fmt::format("truncated: the text ends inside the document, at line {}", stream.line());
  }
  if (stream.Peek() == '\0') {
    return fmt::format("a NUL byte at line {}, column {}", stream.line(), stream.column());
  }
  return fmt::format("not JSON at line {}, column {}: {}", stream.line(), stream.column(),
                     parse_error_text(code));
}

DocumentReader::DocumentReader(int fd, ReadOptions options)
    : state_(std::make_unique<State>(fd, std::string_view(), -1, options)) {}
DocumentReader::DocumentReader(const InputFile& file, ReadOptions options, int copy_fd)
    : state_(std::make_unique<State>(file.fd(), file.pending(), copy_fd, options)) {}
DocumentReader::DocumentReader(std::string_view text, ReadOptions options)
    : state_(std::make_unique<State>(text, options)) {}
DocumentReader::~DocumentReader() = default;

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

bool DocumentReader::over_budget() const { return state_->over_budget; }

std::variant<LoadedDocument, std::string> read_document(std::string_view text,
                                                        ReadOptions options) {
  DocumentReader reader(text, options);
  return only_document(reader);
}

std::variant<LoadedDocument, std::string> read_document_file(const std::string& path,
                                                             ReadOptions options) {
  auto opened = InputFile::open(path);
  if (auto* reason = std::get_if<std::string>(&opened)) return std::move(*reason);
  const InputFile& file = std::get<InputFile>(opened);
  DocumentReader reader(file, options);
  auto document = only_document(reader);
  if (auto* reason = std::get_if<std::string>(&document)) return file.name() + ": " + *reason;
  return document;
}

}  // namespace tarnwick
