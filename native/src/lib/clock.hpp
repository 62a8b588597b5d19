#pragma once

#include <cstdint>
#include <optional>

namespace tarnwick {

inline constexpr std::uint32_t NANOS_PER_SEC = 1'000'000'000;

// Nanoseconds as seconds.
[[nodiscard]] constexpr double nanos_as_seconds(std::uint64_t nanos) noexcept {
  return static_cast<double>(nanos) / NANOS_PER_SEC;
}

// A span of time: whole seconds plus nanoseconds below one second.
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  [[nodiscard]] bool is_zero() const noexcept { return secs == 0 && nanos == 0; }
  [[nodiscard]] double as_seconds() const noexcept {
    return static_cast<double>(secs) + nanos_as_seconds(nanos);
  }
  friend bool operator==(const Duration&, const Duration&) = default;
};

// A reading of the monotonic clock. Compares by seconds, then nanoseconds.
struct Instant {
  std::int64_t secs = 0;
  std::uint32_t nanos = 0;

  friend auto operator<=>(const Instant&, const Instant&) = default;
};

// Reads CLOCK_MONOTONIC.
[[nodiscard]] Instant now() noexcept;

// `at` + `d`, or nothing when the whole seconds would pass 2^63 - 1.
[[nodiscard]] std::optional<Instant> checked_add(Instant at, Duration d) noexcept;

// Time from `from` to `to`; zero when `to` is not later.
[[nodiscard]] Duration saturating_since(Instant to, Instant from) noexcept;

// `d` in nanoseconds, saturating at 2^64 - 1 (about 584 years).
[[nodiscard]] std::uint64_t saturating_nanos(Duration d) noexcept;

}  // namespace tarnwick
