// Identities of runs, as the document records them.
#pragma once

#include <string>

#include "util/utc_time.hpp"

namespace tarnwick {

// 32 lower-case hex digits from the system's random source: unique without
// coordination between the machines of a fleet.
[[nodiscard]] std::string new_run_id();

}  // namespace tarnwick
