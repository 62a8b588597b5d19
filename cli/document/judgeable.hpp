// What makes a run one the program can judge: the one rule the reader
// refuses documents by and the history stores runs by, so that no stored run
// can stop a comparison.
#pragma once

#include <optional>
#include <string>

#include "util/utc_time.hpp"

namespace tarnwick {

struct LoadedRun;

// Mean rates a real run can have, in steps per second: far below the
// slowest machine's one step in 1000 s and above any machine's 10^15 steps/s,
// so that no stored rate overflows or underflows compare's arithmetic
// (ratios, logs, sums of squares).
// (Messages write the range as 0.001 to 1e15.)
inline constexpr double MIN_PLAUSIBLE_RATE = 1e-3;
inline constexpr double MAX_PLAUSIBLE_RATE = 1e15;
// How far after the time of reading a run may start: clocks of a fleet
// disagree a little, but a run from the future would stay among a
// history's latest runs for ever.
inline constexpr UtcMillis MAX_FUTURE_MILLIS = UtcMillis{24} * 3600 * 1000;

// Why `run` cannot be judged ("mean_rate: null, but a completed run has a
// mean rate"), starting with the field it names; nothing when it can. A
// completed run has a mean rate within the plausible range; no run has a
// rate above it, or starts more than a day after `now`.
[[nodiscard]] std::optional<std::string> unjudgeable(const LoadedRun& run, UtcMillis now);

// The same rule for a document's own time (its environment.timestamp).
[[nodiscard]] std::optional<std::string> from_the_future(UtcMillis when, UtcMillis now);

}  // namespace tarnwick
