#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "clock.hpp"
#include "flags.hpp"
#include "outcome.hpp"
#include "runtime.hpp"

namespace tarnwick {

// The engine's vocabulary, pinned to the public header's values at the
// boundary (the engine does not include the C interface).
inline constexpr std::uint32_t BENCHMARK_SINGLE = 1;  // any other kind: one worker per CPU

inline constexpr std::uint32_t PHASE_WARMUP = 1;
inline constexpr std::uint32_t PHASE_MEASUREMENT = 2;
inline constexpr std::uint32_t PHASE_COMPLETED = 3;
inline constexpr std::uint32_t PHASE_CANCELLED = 4;
inline constexpr std::uint32_t PHASE_FAILED = 5;

struct Durations {
  Duration warmup;
  Duration measure;
};

// A report to the progress callback.
struct Progress {
  double progress = 0.0;  // fraction of warm-up + measurement, capped at 1.0
  double phase_elapsed = 0.0;
  double phase_seconds = 0.0;
  std::uint64_t operations = 0;
  std::uint32_t threads = 0;
  std::uint32_t phase = 0;
};

using ProgressCallback = std::function<void(const Progress&)>;

// True while a run owns the engine; one run per process.
extern std::atomic<bool> ACTIVE;

// Runs one benchmark on the calling thread, from admission to outcome. Every
// refusal and failure is an Outcome; only a fault on this thread (in the
// callback, or a broken invariant) unwinds, after every started worker has
// been stopped and joined and ACTIVE cleared.
[[nodiscard]] Outcome run_with(std::uint32_t benchmark, Durations durations,
                               const std::shared_ptr<CancelFlag>& cancel_flag,
                               const ProgressCallback& progress_callback,
                               std::shared_ptr<Runtime> runtime);

}  // namespace tarnwick
