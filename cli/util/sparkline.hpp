#pragma once

// The program's one sparkline: seven bar heights, as block characters or,
// outside UTF-8, as the ASCII "_.:-=+#".

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr std::size_t SPARK_LEVELS = 7;

// The bar of `level` (0 lowest, SPARK_LEVELS - 1 highest; larger is capped).
[[nodiscard]] std::string_view spark_bar(std::size_t level, bool utf8);

// One bar per value: `low` and below is the lowest bar, `high` and above the
// highest, in equal steps between; with low == high every bar is the middle
// one, and a NaN is the middle one too.
[[nodiscard]] std::string sparkline(const std::vector<double>& values, double low, double high,
                                    bool utf8);

}  // namespace tarnwick
