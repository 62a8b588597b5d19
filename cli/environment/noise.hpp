// What else used the machine while a run measured.
#pragma once

#include <nlohmann/json.hpp>

namespace tarnwick {

struct Noise {};

// A run's "noise" object.
[[nodiscard]] inline nlohmann::ordered_json noise_json(const Noise&) {
  return nlohmann::ordered_json::object();
}

}  // namespace tarnwick
