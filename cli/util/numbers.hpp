// Number parsing and display shared by every output of the program.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The whole text as a double, or nothing: no surrounding blanks, no trailing
// characters. A leading '+' is accepted. Beyond the double range a value
// overflows to infinity and underflows to zero.
// Values are not judged here: "nan", "inf" and negatives are numbers, and the
// library decides whether it accepts them.
[[nodiscard]] std::optional<double> parse_number(std::string_view text);

// 1234567 -> "1,234,567" (rounded to a whole number).
[[nodiscard]] std::string grouped(double value);

// Seconds as "m:ss" or "h:mm:ss", rounded down; negatives show as 0:00.
[[nodiscard]] std::string clock_time(double seconds);

// Seconds, trimmed of trailing zeros: 60 -> "60", 0.05 -> "0.05".
[[nodiscard]] std::string short_seconds(double seconds);

}  // namespace tarnwick
