// Identities and times of runs, as the document records them.
#pragma once

#include <chrono>
#include <string>

#include "util/utc_time.hpp"

namespace tarnwick {

// 32 lower-case hex digits from the system's random source: unique without
// coordination between the machines of a fleet.
[[nodiscard]] std::string new_run_id();

// util/utc_time.hpp's, with milliseconds unless told otherwise.
[[nodiscard]] std::string utc_text(std::chrono::system_clock::time_point when,
                                   bool with_millis = true);

}  // namespace tarnwick
