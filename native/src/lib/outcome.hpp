#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick_version.h"

namespace tarnwick {

inline constexpr std::string_view VERSION = TARNWICK_VERSION_STRING;

// One entry of the sample series; same layout as tarnwick_sample_t.
struct Sample {
  double time;  // end of the interval, s after warm_end
  double duration;
  std::uint64_t operations;
  double rate;  // operations / duration
};

inline constexpr std::uint32_t STATUS_COMPLETED = 0;
inline constexpr std::uint32_t STATUS_CANCELLED = 1;
inline constexpr std::uint32_t STATUS_FAILED = 2;

// What one run produces. Starts as a failure; the driver and the statistics
// fill it in.
struct Outcome {
  std::optional<double> mean_rate;
  std::optional<double> cv_percent;
  std::string reason;
  std::vector<Sample> samples;
  std::string_view version = VERSION;
  double warmup_seconds = 0.0;
  double measure_seconds = 0.0;
  double measured_seconds = 0.0;
  std::uint64_t operations = 0;
  std::uint64_t checksum = 0;
  std::uint32_t benchmark = 0;
  std::uint32_t status = STATUS_FAILED;
  std::uint32_t threads = 0;
  bool unstable = false;
};

}  // namespace tarnwick
