#pragma once

#include <string_view>

// The reasons given at the host boundary itself; the engine's are in the
// engine's reasons header.
namespace tarnwick::reasons {

inline constexpr std::string_view CONFIG_NULL = "config is null";
inline constexpr std::string_view INCOMPATIBLE_CONFIG = "incompatible C ABI/config size";
inline constexpr std::string_view UNKNOWN_BENCHMARK = "unknown benchmark";
inline constexpr std::string_view RESERVED_NOT_ZERO = "reserved config field must be zero";
inline constexpr std::string_view BAD_DURATIONS =
    "durations must be finite: warmup >= 0, measurement > 0";
inline constexpr std::string_view NATIVE_PANICKED = "native benchmark panicked";

}  // namespace tarnwick::reasons
