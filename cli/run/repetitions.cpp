#include "run/repetitions.hpp"

namespace tarnwick {

std::vector<PlannedRun> plan_runs(bool single, bool all_cpus, unsigned long repeat) {
  std::vector<PlannedRun> plan;
  for (unsigned long round = 1; round <= repeat; ++round) {
    const auto repetition = static_cast<unsigned>(round);
    if (single) plan.push_back({"single", false, repetition});
    if (all_cpus) plan.push_back({"all-cpus", true, repetition});
  }
  return plan;
}

}  // namespace tarnwick
