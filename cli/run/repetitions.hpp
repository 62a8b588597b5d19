// Repeated runs: the order they run in, and what their spread says.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

struct PlannedRun {
  std::string label;  // "single" or "all-cpus"
  bool all_cpus = false;
  unsigned repetition = 1;  // 1-based, per label
};

// `repeat` rounds of the chosen kinds; with both, each round is a single
// run then an all-CPUs run, so a slow spell of the host lands on one pair
// rather than on every run of one kind.
[[nodiscard]] std::vector<PlannedRun> plan_runs(bool single, bool all_cpus, unsigned long repeat);

}  // namespace tarnwick
