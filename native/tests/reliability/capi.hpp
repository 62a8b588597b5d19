#pragma once

// Small conveniences over the C interface for the reliability suites.

#include <cstdint>
#include <memory>
#include <string>

#include "tarnwick.h"

namespace tarnwick::reliability {

struct HandleFree {
  void operator()(tarnwick_handle_t* handle) const noexcept { tarnwick_free(handle); }
};
using HandlePtr = std::unique_ptr<tarnwick_handle_t, HandleFree>;

[[nodiscard]] inline HandlePtr make_handle() { return HandlePtr(tarnwick_create()); }

[[nodiscard]] inline tarnwick_config_t make_config(std::uint32_t benchmark, double warmup,
                                                   double measure) {
  tarnwick_config_t config{};
  tarnwick_default_config(&config);
  config.benchmark = benchmark;
  config.warmup_seconds = warmup;
  config.measure_seconds = measure;
  return config;
}

// The stored reason, or "<none>" while nothing is stored.
[[nodiscard]] inline std::string reason_of(tarnwick_handle_t* handle) {
  const char* text = tarnwick_reason(handle);
  return text == nullptr ? std::string("<none>") : std::string(text);
}

}  // namespace tarnwick::reliability
