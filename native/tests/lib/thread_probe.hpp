#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::testing {

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

// True once no worker thread is left. A joined thread can stay listed for a
// moment after the join returns, so this waits (up to `limit`) rather than
// looking once; a worker that really outlived its run never disappears.
inline bool no_worker_threads_left(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (worker_thread_names().empty()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace tarnwick::testing
