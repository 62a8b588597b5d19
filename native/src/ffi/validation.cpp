#include "validation.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "duration.hpp"
#include "reasons.hpp"

namespace tarnwick {
namespace {

// A rejection reports the fields of the record as far as they were trusted;
// the caller fills in the rest.
Result<RunRequest, Outcome> reject(std::string_view reason, std::uint32_t benchmark,
                                   double warmup_seconds, double measure_seconds) {
  Outcome outcome;
  outcome.status = STATUS_FAILED;
  outcome.reason = std::string(reason);
  outcome.benchmark = benchmark;
  outcome.warmup_seconds = warmup_seconds;
  outcome.measure_seconds = measure_seconds;
  outcome.threads = 0;
  return Result<RunRequest, Outcome>::err(std::move(outcome));
}

}  // namespace

Result<RunRequest, Outcome> validate(const tarnwick_config_t* config) {
  const tarnwick_config_t& defaults = DEFAULT_CONFIG;
  // Until the record is known to be ours, none of its fields is reported back.
  if (config == nullptr) {
    return reject(reasons::CONFIG_NULL, defaults.benchmark, defaults.warmup_seconds,
                  defaults.measure_seconds);
  }
  const tarnwick_config_t c = *config;  // read once; later host writes do not matter
  if (c.abi_version != TARNWICK_ABI_VERSION || c.size != sizeof(tarnwick_config_t)) {
    return reject(reasons::INCOMPATIBLE_CONFIG, defaults.benchmark, defaults.warmup_seconds,
                  defaults.measure_seconds);
  }
  if (c.benchmark != TARNWICK_BENCHMARK_SINGLE && c.benchmark != TARNWICK_BENCHMARK_ALL_CPUS) {
    return reject(reasons::UNKNOWN_BENCHMARK, defaults.benchmark, c.warmup_seconds,
                  c.measure_seconds);
  }
  if (c.reserved != 0) {
    return reject(reasons::RESERVED_NOT_ZERO, c.benchmark, c.warmup_seconds, c.measure_seconds);
  }
  const std::optional<Duration> warmup = duration_from_seconds(c.warmup_seconds);
  // The positivity test is on the double itself: a value under half a
  // nanosecond passes here and is refused by the driver as a zero window.
  const bool measure_positive = c.measure_seconds > 0.0;
  const std::optional<Duration> measure =
      measure_positive ? duration_from_seconds(c.measure_seconds) : std::nullopt;
  if (!warmup || !measure) {
    return reject(reasons::BAD_DURATIONS, c.benchmark, c.warmup_seconds, c.measure_seconds);
  }
  return Result<RunRequest, Outcome>::ok(
      RunRequest{c.benchmark, Durations{*warmup, *measure}, c.warmup_seconds, c.measure_seconds});
}

}  // namespace tarnwick
