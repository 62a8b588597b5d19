#pragma once

#include <string_view>

// Every reason the engine can give, in one place.
namespace tarnwick::reasons {

inline constexpr std::string_view MEASURE_NOT_POSITIVE = "measurement duration must be positive";
inline constexpr std::string_view ALREADY_RUNNING = "another benchmark is already running";
inline constexpr std::string_view NO_CPU_COUNT = "cannot determine available CPUs: ";
inline constexpr std::string_view CANCELLED_BEFORE_START = "cancelled before starting";
inline constexpr std::string_view CANNOT_START_WORKER = "cannot start worker: ";
inline constexpr std::string_view WORKER_INIT_FAILED = "worker initialization failed: ";
inline constexpr std::string_view CLOCK_RANGE =
    "requested duration exceeds the monotonic clock range";
inline constexpr std::string_view WORKER_PANICKED = "a benchmark worker panicked";
inline constexpr std::string_view CANCELLED = "cancelled";
inline constexpr std::string_view TOO_SHORT =
    "measurement window was too short to complete any work";
inline constexpr std::string_view UNKNOWN_CPU_COUNT =
    "the number of hardware threads is not known for the target platform";
inline constexpr std::string_view TIMING_TWICE = "timing is initialized exactly once";

}  // namespace tarnwick::reasons
