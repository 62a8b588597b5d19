#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver.hpp"

namespace tarnwick::testing {

inline Durations durations(double warmup, double measure) {
  const auto to_duration = [](double s) {
    const double whole = std::floor(s);
    return Duration{static_cast<std::uint64_t>(whole),
                    static_cast<std::uint32_t>(std::llround((s - whole) * 1e9))};
  };
  return Durations{to_duration(warmup), to_duration(measure)};
}

// Keeps every progress report with the moment it arrived, then runs an
// optional reaction; all of it on the driver's thread.
class Reports {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Reports(std::function<void(const Progress&)> react = {}) : react_(std::move(react)) {}

  [[nodiscard]] ProgressCallback callback() {
    return [this](const Progress& p) {
      all.push_back(p);
      arrivals.push_back(Clock::now());
      if (react_) react_(p);
    };
  }

  std::vector<Progress> all;
  std::vector<Clock::time_point> arrivals;

 private:
  std::function<void(const Progress&)> react_;
};

// Names of this process's live threads that start with "tarnwick-", sorted.
inline std::vector<std::string> worker_thread_names() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name.rfind("tarnwick-", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Waits (up to 10 s) until the worker threads are exactly `names`. A joined
// thread can stay listed for a moment after its join returns; one that really
// outlived its run never leaves.
inline bool await_worker_threads(const std::vector<std::string>& names = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (worker_thread_names() != names) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tarnwick::testing
