// Feeds arbitrary bytes to the configuration checks and to the conversion
// of seconds, and traps on any answer that differs from the oracle's.
//
// Input: bytes 0-31 are a configuration record (an empty input stands for a
// null record); every 8-byte word of the input is also converted as seconds.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "config_oracle.hpp"
#include "duration.hpp"
#include "validation.hpp"

namespace {

namespace tr = tarnwick::reliability;

[[noreturn]] void fail(const char* what, const std::uint8_t* data, std::size_t size) {
  std::fprintf(stderr, "mismatch: %s; input:", what);
  for (std::size_t i = 0; i < size; ++i) std::fprintf(stderr, " %02x", data[i]);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool same_duration(const std::optional<tarnwick::Duration>& got, const tr::ExactDuration& want) {
  if (got.has_value() != want.valid) return false;
  return !got || (got->secs == want.secs && got->nanos == want.nanos);
}

void check_record(const std::uint8_t* record, const std::uint8_t* data, std::size_t size) {
  tarnwick_config_t config;
  if (record != nullptr) std::memcpy(&config, record, sizeof config);
  const auto checked = tarnwick::validate(record == nullptr ? nullptr : &config);
  const tr::Expectation want = tr::expect_cancelled_run(record);
  // The oracle's two outcomes past validation come from the driver.
  const bool passes = want.reason == tr::oracle_text::NOT_POSITIVE ||
                      want.reason == tr::oracle_text::CANCELLED_BEFORE;
  if (checked.has_value() != passes) fail("accepted or rejected wrongly", data, size);
  if (!passes) {
    const tarnwick::Outcome& o = checked.error();
    if (std::string_view(o.reason) != want.reason) fail("rejection reason", data, size);
    if (o.status != 2 || o.threads != 0) fail("rejection status or threads", data, size);
    if (o.benchmark != want.benchmark) fail("rejection benchmark", data, size);
    if (tr::bits_of(o.warmup_seconds) != want.warmup_bits ||
        tr::bits_of(o.measure_seconds) != want.measure_bits) {
      fail("rejection durations", data, size);
    }
    return;
  }
  const tarnwick::RunRequest& request = checked.value();
  if (request.benchmark != want.benchmark) fail("request benchmark", data, size);
  if (tr::bits_of(request.warmup_seconds) != want.warmup_bits ||
      tr::bits_of(request.measure_seconds) != want.measure_bits) {
    fail("request doubles", data, size);
  }
  const tr::ExactDuration warmup = tr::exact_duration(request.warmup_seconds);
  const tr::ExactDuration measure = tr::exact_duration(request.measure_seconds);
  if (!same_duration(request.durations.warmup, warmup) ||
      !same_duration(request.durations.measure, measure)) {
    fail("request durations", data, size);
  }
  if (request.durations.measure.is_zero() != (want.reason == tr::oracle_text::NOT_POSITIVE)) {
    fail("zero window", data, size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    double seconds = 0.0;
    std::memcpy(&seconds, data + at, sizeof seconds);
    if (!same_duration(tarnwick::duration_from_seconds(seconds), tr::exact_duration(seconds))) {
      fail("duration", data, size);
    }
  }
  if (size == 0) {
    check_record(nullptr, data, size);
  } else if (size >= sizeof(tarnwick_config_t)) {
    check_record(data, data, size);
  }
  return 0;
}
