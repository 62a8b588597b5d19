#include "document/run_hash.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <system_error>

namespace tarnwick::reading {

std::string ContentHash::hex() const { return fmt::format("{:032x}", state_); }

std::optional<std::string> canonical_number(NumberKind kind, std::string_view text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (kind == NumberKind::Unsigned) {
    uint64_t whole = 0;
    const auto [end, error] = std::from_chars(first, last, whole);
    if (error == std::errc() && end == last) return std::to_string(whole);
  } else if (kind == NumberKind::Signed) {
    int64_t whole = 0;  // -0 reads back as 0
    const auto [end, error] = std::from_chars(first, last, whole);
    if (error == std::errc() && end == last) return std::to_string(whole);
  }
  if (kind != NumberKind::Float) return std::nullopt;
  double number = 0;
  const auto [end, error] = std::from_chars(first, last, number);
  if (error != std::errc() || end != last || !std::isfinite(number)) return std::nullopt;
  return nlohmann::json(number).dump();
}

}  // namespace tarnwick::reading
