#pragma once

// UTC time as the documents, the history and the outputs write it, and as
// the readers and the command line parse it: one writer, one parser.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Milliseconds since the Unix epoch: the one clock value the program orders
// and compares by, so that no text ever sorts in place of a time.
using UtcMillis = std::int64_t;

[[nodiscard]] UtcMillis utc_now();

// "2026-12-08T07:29:37Z", with ".123" before the Z when `with_millis`.
[[nodiscard]] std::string utc_text(UtcMillis when, bool with_millis);

// A document's time: exactly "YYYY-MM-DDTHH:MM:SSZ" or "YYYY-MM-DDTHH:MM:SS.mmmZ", a real
// calendar date from 1970 to 9999 and a time without leap seconds; nullopt for anything else.
[[nodiscard]] std::optional<UtcMillis> parse_utc(std::string_view text);

// A time the user types: YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS] (a space may stand for the
// T, and a final Z is allowed), all UTC; nullopt when it is not one.
[[nodiscard]] std::optional<UtcMillis> parse_user_time(std::string_view text);

}  // namespace tarnwick
