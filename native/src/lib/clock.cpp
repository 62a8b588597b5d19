#include "clock.hpp"

#include <time.h>

#include <limits>

namespace tarnwick {

Instant now() noexcept {
  timespec ts{};
  // CLOCK_MONOTONIC cannot fail on Linux with a valid pointer.
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Instant{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

std::optional<Instant> checked_add(Instant at, Duration d) noexcept {
  constexpr std::int64_t max_secs = std::numeric_limits<std::int64_t>::max();
  if (d.secs > static_cast<std::uint64_t>(max_secs)) return std::nullopt;
  const auto secs = static_cast<std::int64_t>(d.secs);
  if (at.secs > max_secs - secs) return std::nullopt;
  std::int64_t total_secs = at.secs + secs;
  std::uint32_t nanos = at.nanos + d.nanos;  // both below 1e9: no overflow
  if (nanos >= NANOS_PER_SEC) {
    if (total_secs == max_secs) return std::nullopt;
    ++total_secs;
    nanos -= NANOS_PER_SEC;
  }
  return Instant{total_secs, nanos};
}

std::uint64_t saturating_nanos(Duration d) noexcept {
  __extension__ using Wide = unsigned __int128;
  const Wide nanos = static_cast<Wide>(d.secs) * NANOS_PER_SEC + d.nanos;
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  return nanos > max ? max : static_cast<std::uint64_t>(nanos);
}

Duration saturating_since(Instant to, Instant from) noexcept {
  if (to <= from) return Duration{};
  // to > from, so the difference of the seconds is at least 0 and fits in
  // 64 unsigned bits even across the whole signed range.
  std::uint64_t secs = static_cast<std::uint64_t>(to.secs) - static_cast<std::uint64_t>(from.secs);
  std::uint32_t nanos;
  if (to.nanos >= from.nanos) {
    nanos = to.nanos - from.nanos;
  } else {
    --secs;
    nanos = to.nanos + NANOS_PER_SEC - from.nanos;
  }
  return Duration{secs, nanos};
}

}  // namespace tarnwick
