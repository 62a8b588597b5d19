#include "stats/disturbance.hpp"

#include <algorithm>
#include <cmath>

namespace tarnwick {

double free_cpus(double cpus_available, double workers) {
  return std::max(0.0, cpus_available - workers);
}

Disturbance judge_disturbance(std::optional<double> other_cpus, std::optional<double> steal_percent,
                              std::optional<double> cpus_available, double workers,
                              bool in_container) {
  Disturbance found;
  found.in_container = in_container;
  if (other_cpus && cpus_available && std::isfinite(*other_cpus)) {
    found.other_processes = *other_cpus > free_cpus(*cpus_available, workers) + OTHER_CPUS_MARGIN;
  }
  if (steal_percent && std::isfinite(*steal_percent)) {
    found.steal = *steal_percent > STEAL_LIMIT_PERCENT;
  }
  return found;
}

}  // namespace tarnwick
