#pragma once

// The program's JSON texts: how an absent value is written, how a document
// is laid out, and how text that is not UTF-8 is repaired, said once.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Absent facts and values are null rather than a stand-in number, so no
// consumer can mistake them for a measurement: `value` when it is `known`,
// else null.
template <typename Json = nlohmann::ordered_json, typename T>
[[nodiscard]] Json or_null(bool known, const T& value) {
  return known ? Json(value) : Json(nullptr);
}

template <typename Json = nlohmann::ordered_json, typename T>
[[nodiscard]] Json or_null(const std::optional<T>& value) {
  return value ? or_null<Json>(true, *value) : Json(nullptr);
}

// A file holds one document, indented for people; a stream (standard
// output, a pipe, a log) gets one line per document, so that its readers can
// split it by lines.
enum class Layout { indented, one_line };

// The document's text, newline included; bytes that are not UTF-8 become
// U+FFFD.
[[nodiscard]] std::string json_text(const nlohmann::ordered_json& document, Layout layout);

// The document indented for standard output, every character beyond ASCII
// escaped: text from documents (a host name with an escape sequence or a
// C1 control) never reaches a terminal as a control, whatever shows it.
[[nodiscard]] std::string ascii_json_text(const nlohmann::ordered_json& document);

// One line without its newline, as the history stores a document.
[[nodiscard]] std::string json_line(const nlohmann::ordered_json& document);

// `text` with every byte that is not part of valid UTF-8 replaced by U+FFFD,
// exactly as the documents write it.
[[nodiscard]] std::string valid_utf8(std::string_view text);

}  // namespace tarnwick
