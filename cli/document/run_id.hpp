// Identities of runs, as the document records them, and the one place that
// says what an id may look like.
#pragma once

#include <string>
#include <string_view>

#include "util/utc_time.hpp"

namespace tarnwick {

// 32 lower-case hex digits from the system's random source: unique without
// coordination between the machines of a fleet.
[[nodiscard]] std::string new_run_id();

// An id a document carries: 32 lower-case hex digits.
[[nodiscard]] bool is_run_id(std::string_view id);

// An id the history stores: a document's, or "h" and 32 lower-case hex
// digits for a run of a 0.0.2 document (a hash of its content).
[[nodiscard]] bool is_stored_run_id(std::string_view id);

// Letters and digits only: nothing a GLOB pattern reads as a wildcard, so
// the text can name a run by a prefix of its id.
[[nodiscard]] bool is_plain_id(std::string_view id);

}  // namespace tarnwick
