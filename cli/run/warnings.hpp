// The warnings a session gives about its host and its runs.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "document/model.hpp"
#include "environment/host_facts.hpp"

namespace tarnwick {

// The load warning, when the load average says other work is running on
// the host's CPUs (host.cpus_available: the count the run uses).
[[nodiscard]] std::optional<Warning> load_warning(const HostFacts& host);

// The samples (0-based) whose seconds are past the disturbance thresholds,
// judged on the CPUs the run may use (`run_cpus` of them), the run's
// workers aside.
[[nodiscard]] std::vector<std::size_t> disturbed_samples(const RunReport& run,
                                                         std::size_t run_cpus);

// Fewer disturbed seconds in a row are not named: one busy second is
// ordinary life on a shared machine.
constexpr std::size_t NOISY_STRETCH = 3;

// One warning per stretch of NOISY_STRETCH or more disturbed seconds in a
// row: "seconds 23 to 31: the hypervisor took 14 % (steal); the rate fell
// 12 %".
[[nodiscard]] std::vector<Warning> noisy_seconds_warnings(const Session& session);

// One warning per unstable run.
[[nodiscard]] std::vector<Warning> stability_warnings(const Session& session);

}  // namespace tarnwick
