#include "util/json.hpp"

namespace tarnwick {

std::string json_text(const nlohmann::ordered_json& document, Layout layout) {
  return document.dump(layout == Layout::indented ? 2 : -1, ' ', false,
                       nlohmann::ordered_json::error_handler_t::replace) +
         "\n";
}

std::string ascii_json_text(const nlohmann::ordered_json& document) {
  return document.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string json_line(const nlohmann::ordered_json& document) {
  std::string text = json_text(document, Layout::one_line);
  text.pop_back();
  return text;
}

std::string valid_utf8(std::string_view text) {
  // Through the documents' own writer, so both repair a byte the same way.
  return nlohmann::json::parse(json_line(nlohmann::ordered_json(std::string(text))))
      .get<std::string>();
}

}  // namespace tarnwick
