#include "util/json.hpp"

namespace tarnwick {

std::string json_text(const nlohmann::ordered_json& document, Layout layout) {
  return document.dump(layout == Layout::indented ? 2 : -1, ' ', false,
                       nlohmann::ordered_json::error_handler_t::replace) +
         "\n";
}

std::string valid_utf8(std::string_view text) {
  // Through the documents' own writer, so both repair a byte the same way.
  const std::string quoted = nlohmann::json(std::string(text))
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return nlohmann::json::parse(quoted).get<std::string>();
}

}  // namespace tarnwick
