// The machine a session ran on, as recorded in its document.
#pragma once

#include <nlohmann/json.hpp>

namespace tarnwick {

struct Environment {};

// The document's "environment" object.
[[nodiscard]] inline nlohmann::ordered_json environment_json(const Environment&) {
  return nlohmann::ordered_json::object();
}

}  // namespace tarnwick
