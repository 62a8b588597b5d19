// What the program keeps of each run: the library's records, copied out of
// the handle before it is freed, and the host facts they are judged by.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host_facts.hpp"
#include "tarnwick.h"

namespace tarnwick {

struct RunReport {
  std::string label;  // "single" or "all-cpus"
  tarnwick_result_t result{};
  std::string reason;
  std::vector<tarnwick_sample_t> samples;
};

struct Session {
  std::string version;  // the loaded library's version text
  int abi_version = 0;  // the loaded library's interface version
  HostFacts host;
  std::vector<RunReport> runs;
  std::vector<std::string> warnings;  // as printed on standard error
};

// multi rate / (threads x single rate), when both runs completed.
[[nodiscard]] std::optional<double> scaling(const RunReport& single, const RunReport& multi);

// The runs' overall rate when the library gives no mean (a cancelled run):
// for display only, never reported as the run's mean.
[[nodiscard]] double reference_rate(const RunReport& run);

// "1 worker", or "all CPUs, 4 workers" for an all-CPUs run.
[[nodiscard]] std::string workers_text(const RunReport& run);

// 0 when every run completed, 1 when one was cancelled, 2 when one failed.
[[nodiscard]] int exit_status(const Session& session);

// "completed", "cancelled" or "failed".
[[nodiscard]] const char* status_name(uint32_t status);

// The load warning, when the load average says other work is running.
[[nodiscard]] std::optional<std::string> load_warning(const HostFacts& host);

// One warning per unstable run.
[[nodiscard]] std::vector<std::string> stability_warnings(const Session& session);

}  // namespace tarnwick
