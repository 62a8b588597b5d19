#pragma once

// What tarnwick_run must answer for a configuration record when its handle
// was cancelled before the run, derived from the validation rules alone and
// sharing no code with the library. Header-only and free of anything newer
// than what clang 14 builds against g++ 12's library, so the fuzz target can
// use it too.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tarnwick.h"

namespace tarnwick::reliability {

__extension__ typedef unsigned __int128 Wide;

inline constexpr double TWO_TO_64 = 18446744073709551616.0;
inline constexpr std::uint32_t NANOS_PER_SEC = 1'000'000'000;

[[nodiscard]] inline std::uint64_t bits_of(double value) noexcept {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

[[nodiscard]] inline double double_of(std::uint64_t bits) noexcept {
  double value = 0.0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// A seconds value as the library must convert it: `valid` false for
// negative values, NaN, infinities and 2^64 s or more.
struct ExactDuration {
  bool valid = false;
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  [[nodiscard]] bool is_zero() const noexcept { return secs == 0 && nanos == 0; }
};

// Rounds the fraction to the nearest nanosecond, ties to even, on the exact
// binary value (mantissa times a power of two) rather than on a rounded
// product, so it is an independent reference for any implementation.
[[nodiscard]] inline ExactDuration exact_duration(double seconds) noexcept {
  if (std::isnan(seconds) || seconds < 0.0 || !(seconds < TWO_TO_64)) return {};
  const std::uint64_t bits = bits_of(seconds);
  const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent = -1074;  // subnormals
  if (biased != 0) {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  if (mantissa == 0) return {true, 0, 0};
  if (exponent >= 0) return {true, mantissa << exponent, 0};
  const int shift = -exponent;
  // mantissa * 10^9 < 2^83, so anything shifted this far is under half a
  // nanosecond.
  if (shift >= 128) return {true, 0, 0};
  const Wide whole = Wide{mantissa} >> shift;
  const Wide fraction = Wide{mantissa} - (whole << shift);
  const Wide scaled = fraction * NANOS_PER_SEC;
  Wide nanos = scaled >> shift;
  const Wide rest = scaled - (nanos << shift);
  const Wide half = Wide{1} << (shift - 1);
  if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
  auto secs = static_cast<std::uint64_t>(whole);
  if (nanos == NANOS_PER_SEC) {
    ++secs;
    nanos = 0;
  }
  return {true, secs, static_cast<std::uint32_t>(nanos)};
}

enum class ThreadCount { zero, workers };

struct Expectation {
  std::uint32_t status = 2;
  std::string_view reason;
  std::uint32_t benchmark = 1;
  std::uint64_t warmup_bits = 0;
  std::uint64_t measure_bits = 0;
  // `workers`: the number of workers the benchmark would run.
  ThreadCount threads = ThreadCount::zero;
};

namespace oracle_text {
inline constexpr std::string_view CONFIG_NULL = "config is null";
inline constexpr std::string_view INCOMPATIBLE = "incompatible C ABI/config size";
inline constexpr std::string_view UNKNOWN_BENCHMARK = "unknown benchmark";
inline constexpr std::string_view RESERVED = "reserved config field must be zero";
inline constexpr std::string_view DURATIONS =
    "durations must be finite: warmup >= 0, measurement > 0";
inline constexpr std::string_view NOT_POSITIVE = "measurement duration must be positive";
inline constexpr std::string_view CANCELLED_BEFORE = "cancelled before starting";
}  // namespace oracle_text

// The 32 bytes of `record` (null: no record) judged check by check; the
// first failing check decides, and a valid record meets the cancel flag.
[[nodiscard]] inline Expectation expect_cancelled_run(const unsigned char* record) noexcept {
  const std::uint64_t default_warmup = bits_of(120.0);
  const std::uint64_t default_measure = bits_of(60.0);
  if (record == nullptr) {
    return {2, oracle_text::CONFIG_NULL, 1, default_warmup, default_measure, ThreadCount::zero};
  }
  std::uint32_t word[4] = {};
  std::memcpy(word, record, sizeof word);
  std::uint64_t warmup_bits = 0;
  std::uint64_t measure_bits = 0;
  std::memcpy(&warmup_bits, record + 16, 8);
  std::memcpy(&measure_bits, record + 24, 8);
  const std::uint32_t abi = word[0];
  const std::uint32_t size = word[1];
  const std::uint32_t benchmark = word[2];
  const std::uint32_t reserved = word[3];

  if (abi != 1 || size != 32) {
    return {2, oracle_text::INCOMPATIBLE, 1, default_warmup, default_measure, ThreadCount::zero};
  }
  if (benchmark != 1 && benchmark != 2) {
    return {2, oracle_text::UNKNOWN_BENCHMARK, 1, warmup_bits, measure_bits, ThreadCount::zero};
  }
  const auto rejected = [&](std::string_view reason) {
    return Expectation{2, reason, benchmark, warmup_bits, measure_bits, ThreadCount::zero};
  };
  if (reserved != 0) return rejected(oracle_text::RESERVED);
  const double warmup = double_of(warmup_bits);
  const double measure = double_of(measure_bits);
  const ExactDuration warmup_duration = exact_duration(warmup);
  const ExactDuration measure_duration = exact_duration(measure);
  if (!warmup_duration.valid || !(measure > 0.0) || !measure_duration.valid) {
    return rejected(oracle_text::DURATIONS);
  }
  // Zero-length windows are refused before the cancel flag is looked at.
  if (measure_duration.is_zero()) return rejected(oracle_text::NOT_POSITIVE);
  return {
      1, oracle_text::CANCELLED_BEFORE, benchmark, warmup_bits, measure_bits, ThreadCount::workers};
}

}  // namespace tarnwick::reliability
