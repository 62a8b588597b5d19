#pragma once

#include <cstdint>

#include "driver.hpp"
#include "outcome.hpp"
#include "result.hpp"
#include "tarnwick.h"

namespace tarnwick {

// A configuration that passed every check: what the driver is given, plus
// the host's two doubles, which every outcome reports back bit for bit.
struct RunRequest {
  std::uint32_t benchmark = 0;
  Durations durations;
  double warmup_seconds = 0.0;
  double measure_seconds = 0.0;
};

// The defaults that a configuration record starts from.
inline constexpr tarnwick_config_t DEFAULT_CONFIG = {
    TARNWICK_ABI_VERSION, sizeof(tarnwick_config_t), TARNWICK_BENCHMARK_SINGLE, 0, 120.0, 60.0};

// Checks `config` in a fixed order and stops at the first failure: present,
// compatible, known benchmark, zero reserved field, convertible durations.
// A failure is the rejection outcome to store, with the fields of the record
// that were trusted by then (the defaults before that).
[[nodiscard]] Result<RunRequest, Outcome> validate(const tarnwick_config_t* config);

}  // namespace tarnwick
