#include "document/model.hpp"

#include <fmt/format.h>

#include "tarnwick.hpp"
#include "util/exit_status.hpp"

namespace tarnwick {

std::optional<double> scaling(const RunReport& single, const RunReport& multi) {
  if (single.result.status != TARNWICK_STATUS_COMPLETED ||
      multi.result.status != TARNWICK_STATUS_COMPLETED || multi.result.threads == 0 ||
      !(single.result.mean_rate > 0.0)) {
    return std::nullopt;
  }
  return multi.result.mean_rate /
         (static_cast<double>(multi.result.threads) * single.result.mean_rate);
}

double reference_rate(const RunReport& run) {
  if (run.result.status == TARNWICK_STATUS_COMPLETED) return run.result.mean_rate;
  if (run.result.measured_seconds > 0.0) {
    return static_cast<double>(run.result.operations) / run.result.measured_seconds;
  }
  return 0.0;
}

std::string workers_text(const RunReport& run) {
  const uint32_t threads = run.result.threads;
  const std::string count = fmt::format("{} worker{}", threads, threads == 1 ? "" : "s");
  if (run.result.benchmark != TARNWICK_BENCHMARK_ALL_CPUS) return count;
  return threads == 0 ? std::string("all CPUs") : "all CPUs, " + count;
}

int exit_status(const Session& session) {
  int status = EXIT_OK;
  for (const RunReport& run : session.runs) {
    if (run.result.status == TARNWICK_STATUS_FAILED) return EXIT_FAILED;
    if (run.result.status == TARNWICK_STATUS_CANCELLED) status = EXIT_CANCELLED;
  }
  return status;
}

const char* status_name(uint32_t status) {
  // The library's names; data() of each is NUL-terminated.
  return name(static_cast<Status>(status)).data();
}

}  // namespace tarnwick
