// When a run counts as disturbed: other work competed for its CPUs. One
// rule for a whole run (compare and the baseline leave such runs out) and
// for single seconds (the noise figures flag them), over plain numbers.
//
// A run is disturbed when other processes used more CPU time than the CPUs
// the run left free (CPUs available - workers) plus OTHER_CPUS_MARGIN, or
// when the hypervisor stole more than STEAL_LIMIT_PERCENT of the CPU time.
// The load average is not a figure of the run's own window and is not used.
// Inside a container the figures are the whole host's: other containers
// count as "other processes", so such a run is noted, never left out.
#pragma once

#include <optional>

namespace tarnwick {

// CPUs' worth of other processes' time tolerated beyond the free CPUs:
// the system's own housekeeping and the program's other threads.
inline constexpr double OTHER_CPUS_MARGIN = 0.5;
// Steal, in % of all CPU time, above which a guest lost real time.
inline constexpr double STEAL_LIMIT_PERCENT = 5.0;

struct Disturbance {
  bool other_processes = false;  // other CPU time above the free CPUs + margin
  bool steal = false;            // steal above the limit
  bool in_container = false;     // the figures are the host's: shown, never acted on

  // The figures show competition (in a container too).
  [[nodiscard]] bool shown() const { return other_processes || steal; }
  // The run is to be left out of a verdict.
  [[nodiscard]] bool disturbed() const { return shown() && !in_container; }
};

// The CPUs a run of `workers` left free of `cpus_available`; never below 0.
[[nodiscard]] double free_cpus(double cpus_available, double workers);

// The rule above. An unknown figure (nothing) is no sign of competition;
// without `cpus_available` other processes' time cannot be judged.
[[nodiscard]] Disturbance judge_disturbance(std::optional<double> other_cpus,
                                            std::optional<double> steal_percent,
                                            std::optional<double> cpus_available, double workers,
                                            bool in_container);

}  // namespace tarnwick
