#include "run/repetitions.hpp"

#include "document/label.hpp"

namespace tarnwick {

std::vector<PlannedRun> plan_runs(bool single, bool all_cpus, unsigned long repeat) {
  std::vector<PlannedRun> plan;
  for (unsigned long round = 1; round <= repeat; ++round) {
    const auto repetition = static_cast<unsigned>(round);
    for (const bool all : {false, true}) {
      if (all ? all_cpus : single)
        plan.push_back({std::string(name(label_of(all))), all, repetition});
    }
  }
  return plan;
}

}  // namespace tarnwick
