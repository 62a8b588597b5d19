#include "document/reader.hpp"

#include <fmt/format.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cctype>
#include <utility>

#include "document/chunk_stream.hpp"
#include "document/document_handler.hpp"

namespace tarnwick {
namespace {

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
  // Why the document that ended in a parse error was refused; finishes
  // the input when nothing more can be read.
  std::string failed(const reading::DocumentHandler& handler, rapidjson::ParseErrorCode code);
  // Skips to the next line that begins with '{': where the next document
  // of JSON lines or of pretty-printed documents starts. False when none
  // is found within the size limit.
  bool resynchronise();

  reading::ChunkStream stream;
  ReadOptions options;
  std::size_t index = 0;  // documents started so far
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
  const std::size_t line = stream.line();
  const auto where = [&](const std::string& reason) -> std::string {
    if (index == 1 && line == 1) return reason;
    return fmt::format("document {} (line {}): {}", index, line, reason);
  };
  stream.start_document();
  constexpr unsigned FLAGS = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                             rapidjson::kParseNumbersAsStringsFlag |
                             rapidjson::kParseValidateEncodingFlag;
  reading::DocumentHandler handler(options);
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
  return where(failed(handler, parsed.Code()));
}

std::string DocumentReader::State::failed(const reading::DocumentHandler& handler,
                                          rapidjson::ParseErrorCode code) {
  if (stream.at_boundary()) {
    // Cut off by a line that starts the next document: no resync needed.
    if (handler.refusal()) return *handler.refusal();
    return fmt::format("unfinished: it ends at line {}, where the next document begins",
                       stream.line());
  }
  std::string reason;
  if (handler.refusal() && !handler.too_deep()) {
    reason = *handler.refusal();
    if (stream.exhausted()) {
      finished = true;
      return reason;
    }
  } else if (handler.too_deep()) {
    reason = fmt::format("nested deeper than {} levels at line {}", MAX_NESTING, stream.line());
  } else if (stream.exhausted()) {
    finished = true;
    return fmt::format("truncated: the text ends inside the document, at line {}", stream.line());
  } else if (stream.Peek() == '\0') {
    reason = fmt::format("a NUL byte at line {}, column {}", stream.line(), stream.column());
  } else {
    reason = fmt::format("not JSON at line {}, column {}: {}", stream.line(), stream.column(),
                         parse_error_text(code));
  }
  if (!resynchronise()) {
    finished = true;
    reason += fmt::format("; no further document within {} MiB, the rest was not read",
                          MAX_DOCUMENT_BYTES >> 20);
  }
  return reason;
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

std::variant<LoadedDocument, std::string> read_document(std::string_view text,
                                                        ReadOptions options) {
  DocumentReader reader(text, options);
  auto first = reader.next();
  if (!first) return std::string("empty: no JSON text");
  if (std::holds_alternative<std::string>(*first)) return std::move(*first);
  if (reader.next()) return std::string("more than one document where one was expected");
  return std::move(*first);
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
  std::size_t count = 0;
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

}  // namespace tarnwick
