// The JSON document of a session, keys in reading order: every field of
// every result record, the reasons, all samples, the library's version and
// the host facts.
#pragma once

#include <nlohmann/json.hpp>

#include "document/model.hpp"

namespace tarnwick {

[[nodiscard]] nlohmann::ordered_json session_json(const Session& session);

}  // namespace tarnwick
