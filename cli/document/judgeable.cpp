#include "document/judgeable.hpp"

#include <fmt/format.h>

#include "document/reader.hpp"

namespace tarnwick {

std::optional<std::string> unjudgeable(const LoadedRun& run, UtcMillis now) {
  const bool completed = run.status == Status::completed;
  if (completed && !run.mean_rate) return "mean_rate: null, but a completed run has a mean rate";
  if (run.mean_rate && (*run.mean_rate > MAX_PLAUSIBLE_RATE ||
                        (completed && !(*run.mean_rate >= MIN_PLAUSIBLE_RATE)))) {
    return fmt::format("mean_rate: {} steps/s is outside the plausible range, 0.001 to 1e15",
                       *run.mean_rate);
  }
  if (run.started_at) {
    if (auto future = from_the_future(*run.started_at, now)) return "started: " + *future;
  }
  return std::nullopt;
}

std::optional<std::string> from_the_future(UtcMillis when, UtcMillis now) {
  if (when <= now + MAX_FUTURE_MILLIS) return std::nullopt;
  return fmt::format("{} is more than a day after the time it was read ({})", utc_text(when, false),
                     utc_text(now, false));
}

}  // namespace tarnwick
