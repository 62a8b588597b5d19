#include "util/numbers.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale>
#include <system_error>

namespace tarnwick {
namespace {

// Grouping by thousands with ',' whatever the user's locale says, so output
// is the same on every machine.
struct Thousands final : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

const std::locale& thousands_locale() {
  static const std::locale locale(std::locale::classic(), new Thousands);
  return locale;
}

}  // namespace

std::optional<double> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    // "+-1" and "++1" are not numbers.
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ptr != end) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Beyond the double range the value is still a number: it overflows to
    // infinity or underflows to zero, as the hardware would round it.
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
  }
  if (ec != std::errc{}) return std::nullopt;
  return value;
}

std::string grouped(double value) {
  if (!std::isfinite(value)) return fmt::format("{}", value);
  return fmt::format(thousands_locale(), "{:.0Lf}", value);
}

std::string clock_time(double seconds) {
  if (!(seconds > 0.0)) seconds = 0.0;
  if (seconds > 1e9) return "--:--";
  const auto total = static_cast<unsigned long long>(seconds);
  const unsigned long long hours = total / 3600;
  const unsigned long long minutes = total / 60 % 60;
  const unsigned long long secs = total % 60;
  if (hours > 0) return fmt::format("{}:{:02}:{:02}", hours, minutes, secs);
  return fmt::format("{}:{:02}", minutes, secs);
}

std::string short_seconds(double seconds) { return fmt::format("{}", seconds); }

}  // namespace tarnwick
