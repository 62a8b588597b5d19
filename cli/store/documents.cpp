#include "store/documents.hpp"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "document/reader.hpp"
#include "util/json.hpp"

namespace tarnwick {
namespace {

std::variant<DocumentEntry, std::string> entry(std::string_view text) {
  auto read = read_document(text, ReadOptions{false, true});
  if (auto* reason = std::get_if<std::string>(&read)) return *reason;
  const LoadedDocument& loaded = std::get<LoadedDocument>(read);
  DocumentEntry document;
  document.schema_version = loaded.schema_version;
  document.library_version = loaded.library_version;
  document.hostname = loaded.hostname;
  document.timestamp = loaded.timestamp;
  document.cpu_model = loaded.cpu_model;
  document.arch = loaded.arch;
  // The reader has accepted the text, so it parses; the runs are kept one by
  // one below, as the reader gave them.
  auto json = nlohmann::ordered_json::parse(text);
  json["runs"] = nlohmann::ordered_json::array();
  document.json = json_line(json);
  for (const LoadedRun& run : loaded.runs) {
    document.runs.push_back({run.id, run.label, run.repetition, run.status, run.threads,
                             run.mean_rate, run.cv_percent, run.unstable, run.started, run.json});
  }
  return document;
}

}  // namespace

std::variant<std::vector<DocumentEntry>, std::string> history_entries(std::string_view text) {
  auto whole = entry(text);
  if (auto* document = std::get_if<DocumentEntry>(&whole)) {
    return std::vector<DocumentEntry>{std::move(*document)};
  }
  // Not one document: JSON lines when the first line is a document itself;
  // otherwise the reason the whole text was refused is the one to give.
  std::vector<std::pair<size_t, std::string_view>> lines;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) lines.emplace_back(number, line);
  }
  if (lines.size() <= 1) return std::get<std::string>(whole);
  std::vector<DocumentEntry> documents;
  for (const auto& [line_number, line] : lines) {
    auto one = entry(line);
    if (auto* reason = std::get_if<std::string>(&one)) {
      if (documents.empty()) return std::get<std::string>(whole);
      return fmt::format("line {}: {}", line_number, *reason);
    }
    documents.push_back(std::get<DocumentEntry>(std::move(one)));
  }
  return documents;
}

}  // namespace tarnwick
