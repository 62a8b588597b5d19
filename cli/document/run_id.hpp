// Identities and times of runs, as the document records them.
#pragma once

#include <chrono>
#include <string>

namespace tarnwick {

// 32 lower-case hex digits from the system's random source: unique without
// coordination between the machines of a fleet.
[[nodiscard]] std::string new_run_id();

// "2026-12-07T23:50:01.123Z" (with_millis) or "2026-12-07T23:50:01Z".
[[nodiscard]] std::string utc_text(std::chrono::system_clock::time_point when,
                                   bool with_millis = true);

}  // namespace tarnwick
