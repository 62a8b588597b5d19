#pragma once

#include <optional>

#include "clock.hpp"

namespace tarnwick {

// Converts seconds to whole seconds plus nanoseconds, exactly from the
// binary value of `seconds`: the fraction is rounded to the nearest
// nanosecond, ties to even, with a carry into the seconds. Nothing for
// negative values (negative zero is zero), NaN, the infinities and anything
// of 2^64 seconds or more.
[[nodiscard]] std::optional<Duration> duration_from_seconds(double seconds) noexcept;

}  // namespace tarnwick
