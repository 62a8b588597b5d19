// The warnings a session gives about its host and its runs.
#pragma once

#include <optional>
#include <vector>

#include "document/model.hpp"
#include "environment/host_facts.hpp"

namespace tarnwick {

// The load warning, when the load average says other work is running on
// the host's CPUs (host.cpus_available: the count the run uses).
[[nodiscard]] std::optional<Warning> load_warning(const HostFacts& host);

// One warning per unstable run.
[[nodiscard]] std::vector<Warning> stability_warnings(const Session& session);

}  // namespace tarnwick
