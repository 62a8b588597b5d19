#pragma once

#include <string_view>

// Every reason text the library gives a host, in one table at the lowest
// layer that gives one: the kernel's, the engine's and the boundary's. A
// reason is a short lower-case phrase without final punctuation; one that
// wraps a lower-level error is a prefix ending in ": ".
namespace tarnwick::reasons {

// The kernel: its table could not be reserved.
inline constexpr std::string_view ALLOCATION_FAILED =
    "memory allocation failed because the memory allocator returned an error";

// The engine: refusals, start-up failures and how a run ended.
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
// The message of an internal fault, not a reason a run ends with.
inline constexpr std::string_view TIMING_TWICE = "timing is initialized exactly once";

// The host boundary: configuration checks, in the order they are made, and
// a fault contained at the run entry.
inline constexpr std::string_view CONFIG_NULL = "config is null";
inline constexpr std::string_view INCOMPATIBLE_CONFIG = "incompatible C ABI/config size";
inline constexpr std::string_view UNKNOWN_BENCHMARK = "unknown benchmark";
inline constexpr std::string_view RESERVED_NOT_ZERO = "reserved config field must be zero";
inline constexpr std::string_view BAD_DURATIONS =
    "durations must be finite: warmup >= 0, measurement > 0";
inline constexpr std::string_view NATIVE_PANICKED = "native benchmark panicked";
// Memory ran out where no other reason could be made. Short enough for a
// std::string's own buffer, so giving it never allocates.
inline constexpr std::string_view OUT_OF_MEMORY = "out of memory";

}  // namespace tarnwick::reasons
