// Identities and times of runs, as the document records them.
#pragma once

#include <chrono>
#include <string>

#include "util/utc_time.hpp"

namespace tarnwick {

// 32 lower-case hex digits from the system's random source: unique without
// coordination between the machines of a fleet.
[[nodiscard]] std::string new_run_id();

// "2026-12-07T23:50:01.123Z": a run's times, from the one writer of UTC text.
[[nodiscard]] inline std::string utc_text(std::chrono::system_clock::time_point when) {
  return utc_text(when, true);
}

}  // namespace tarnwick
