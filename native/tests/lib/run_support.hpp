#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "driver.hpp"

namespace tarnwick::testing {

inline Duration seconds(double s) {
  const double whole = std::floor(s);
  return Duration{static_cast<std::uint64_t>(whole),
                  static_cast<std::uint32_t>(std::llround((s - whole) * 1e9))};
}

inline Durations durations(double warmup, double measure) {
  return Durations{seconds(warmup), seconds(measure)};
}

// Keeps every progress report with the moment it arrived, and runs an
// optional reaction on the driver's thread after recording it.
class Reports {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Reports(std::function<void(const Progress&)> react = {}) : react_(std::move(react)) {}

  [[nodiscard]] ProgressCallback callback() {
    return [this](const Progress& p) {
      {
        const std::lock_guard lock(mutex_);
        reports_.push_back(p);
        arrivals_.push_back(Clock::now());
      }
      if (react_) react_(p);
    };
  }

  [[nodiscard]] std::vector<Progress> all() const {
    const std::lock_guard lock(mutex_);
    return reports_;
  }
  [[nodiscard]] std::vector<Clock::time_point> arrivals() const {
    const std::lock_guard lock(mutex_);
    return arrivals_;
  }

 private:
  std::function<void(const Progress&)> react_;
  mutable std::mutex mutex_;
  std::vector<Progress> reports_;            // guarded by mutex_
  std::vector<Clock::time_point> arrivals_;  // guarded by mutex_
};

}  // namespace tarnwick::testing
