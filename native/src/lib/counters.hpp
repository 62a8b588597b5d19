#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Index of a phase in Counters::phase_ops.
inline constexpr std::size_t WARMUP_INDEX = 0;
inline constexpr std::size_t MEASURED_INDEX = 1;

// One worker's published progress, written only by that worker and read by
// the driver. Each worker's Counters is a separate allocation on a cache line
// of its own, so one worker's adds never invalidate another's line.
//
// Memory ordering: relaxed throughout. The driver samples the phase counters
// while the worker runs and tolerates values a batch behind; it reads
// measured_nanos and checksum only after joining the worker, and the join
// orders the worker's stores before those reads.
struct alignas(64) Counters {
  // warmup_ops at WARMUP_INDEX, measured_ops at MEASURED_INDEX: both the
  // worker and the driver pick the element by the phase of the moment.
  std::array<std::atomic<std::uint64_t>, 2> phase_ops{};
  // Nanoseconds from warm_end to the moment the worker left its loop.
  std::atomic<std::uint64_t> measured_nanos{0};
  // The value of the worker's most recent kernel step.
  std::atomic<std::uint64_t> checksum{0};

  Counters() = default;
  Counters(const Counters&) = delete;
  Counters& operator=(const Counters&) = delete;

  [[nodiscard]] std::atomic<std::uint64_t>& warmup_ops() noexcept {
    return phase_ops[WARMUP_INDEX];
  }
  [[nodiscard]] std::atomic<std::uint64_t>& measured_ops() noexcept {
    return phase_ops[MEASURED_INDEX];
  }
};

static_assert(alignof(Counters) == 64, "each worker's counters start a cache line");
static_assert(sizeof(Counters) == 64, "each worker's counters fill exactly one cache line");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

}  // namespace tarnwick
