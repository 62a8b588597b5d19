#include "run/repetitions.hpp"

#include "document/label.hpp"
#include "tarnwick.h"

namespace tarnwick {

std::vector<PlannedRun> plan_runs(bool single, bool all_cpus, unsigned long repeat) {
  std::vector<PlannedRun> plan;
  for (unsigned long round = 1; round <= repeat; ++round) {
    const auto repetition = static_cast<unsigned>(round);
    if (single)
      plan.push_back({std::string(name(Label::single)), TARNWICK_BENCHMARK_SINGLE, repetition});
    if (all_cpus) {
      plan.push_back({std::string(name(Label::all_cpus)), TARNWICK_BENCHMARK_ALL_CPUS, repetition});
    }
  }
  return plan;
}

}  // namespace tarnwick
