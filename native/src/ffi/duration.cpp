#include "duration.hpp"

#include <bit>
#include <cstdint>

namespace tarnwick {
namespace {

__extension__ using Wide = unsigned __int128;

constexpr std::uint64_t MANTISSA_MASK = (std::uint64_t{1} << 52) - 1;
constexpr int EXPONENT_BIAS = 1075;  // 1023 plus the 52 fraction bits

}  // namespace

std::optional<Duration> duration_from_seconds(double seconds) noexcept {
  // Written so that NaN fails both tests.
  if (!(seconds >= 0.0) || !(seconds < 0x1p64)) return std::nullopt;
  // Below 2^-31 s the value is under half a nanosecond (this also takes
  // negative zero, whose sign bit the decoding below would misread).
  if (seconds < 0x1p-31) return Duration{};

  // seconds == mantissa * 2^exponent exactly.
  const auto bits = std::bit_cast<std::uint64_t>(seconds);
  const auto biased = static_cast<int>(bits >> 52);
  const std::uint64_t mantissa = (bits & MANTISSA_MASK) | (std::uint64_t{1} << 52);
  const int exponent = biased - EXPONENT_BIAS;  // normal: seconds >= 2^-31
  if (exponent >= 0) return Duration{mantissa << exponent, 0};

  // 2^-31 <= seconds means shift <= 31 + 52, so every product below fits
  // in 128 bits: fraction < 2^83, times 10^9 < 2^30.
  const auto shift = static_cast<unsigned>(-exponent);
  const Wide one = Wide{1} << shift;
  const std::uint64_t secs = shift >= 64 ? 0 : mantissa >> shift;
  const Wide scaled = (Wide{mantissa} & (one - 1)) * NANOS_PER_SEC;
  auto nanos = static_cast<std::uint64_t>(scaled >> shift);
  const Wide rest = scaled & (one - 1);
  const Wide half = one >> 1;
  if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
  // secs < 2^53 here, so the carry cannot overflow.
  if (nanos == NANOS_PER_SEC) return Duration{secs + 1, 0};
  return Duration{secs, static_cast<std::uint32_t>(nanos)};
}

}  // namespace tarnwick
