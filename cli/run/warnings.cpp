#include "run/warnings.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "environment/noise.hpp"

namespace tarnwick {

std::optional<Warning> load_warning(const HostFacts& host) {
  if (!host.load_average || !load_suggests_other_work(*host.load_average, host.cpus_available)) {
    return std::nullopt;
  }
  return Warning{"", "load",
                 fmt::format("the 1-minute load average was {:.2f} when the run started: other "
                             "work is running and may lower the result or make it unstable",
                             *host.load_average)};
}

std::vector<Warning> stability_warnings(const Session& session) {
  std::vector<Warning> warnings;
  for (const RunReport& run : session.runs) {
    if (!run.result.unstable || !run.result.cv_percent) continue;
    // Among repetitions, say which one.
    const bool repeated = std::any_of(session.runs.begin(), session.runs.end(),
                                      [](const RunReport& other) { return other.repetition > 1; });
    const std::string name =
        repeated ? fmt::format("{} run {}", run.label, run.repetition) : run.label + " run";
    warnings.push_back(
        {run.id, "unstable",
         fmt::format("the {} is unstable (CV {:.2f} % is above 10 %): {}; measure again on a "
                     "quieter machine or with a longer warm-up",
                     name, *run.result.cv_percent, explain_noise(run.noise))});
  }
  return warnings;
}

}  // namespace tarnwick
