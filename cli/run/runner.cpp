#include "run/runner.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

#include "document/run_id.hpp"
#include "environment/noise.hpp"
#include "run/signals.hpp"
#include "tarnwick.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {
namespace {

// Withdraws the benchmark from the signal handler before it is freed, on
// every way out.
struct Published {
  explicit Published(Benchmark& benchmark) { publish_benchmark(&benchmark); }
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;
  ~Published() { withdraw_benchmark(); }
};

tarnwick_progress_t to_record(const Progress& progress) {
  return {static_cast<uint32_t>(progress.phase),
          progress.threads,
          progress.progress,
          progress.phase_elapsed.count(),
          progress.phase_length.count(),
          progress.operations};
}

}  // namespace

RunReport run_once(const tarnwick_config_t& config, const std::string& label,
                   ProgressDisplay& display) {
  RunReport report;
  report.id = new_run_id();
  report.label = label;
  report.started = utc_text(std::chrono::system_clock::now(), true);

  Config wanted;
  wanted.all_cpus = config.benchmark == TARNWICK_BENCHMARK_ALL_CPUS;
  // Failed, of the benchmark asked for, until the library answers.
  report.result.all_cpus = wanted.all_cpus;
  wanted.warmup = Seconds(config.warmup_seconds);
  wanted.measure = Seconds(config.measure_seconds);

  NoiseProbe probe;
  const auto began = std::chrono::steady_clock::now();
  try {
    Benchmark benchmark;
    const Published published(benchmark);
    // A lost frame of the display is harmless; nothing may stop the run.
    report.result = benchmark.run(wanted, [&](const Progress& progress) noexcept {
      try {
        if (progress.phase == Phase::measurement) probe.start();
        if (progress.phase == Phase::warmup || progress.phase == Phase::measurement) {
          report.last_phase = static_cast<uint32_t>(progress.phase);
        }
        display.update(to_record(progress));
      } catch (...) {
      }
    });
  } catch (const std::exception& error) {
    report.result.reason = error.what();
  }
  display.clear();
  report.run_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  report.ended = utc_text(std::chrono::system_clock::now(), true);
  report.noise = probe.finish();
  return report;
}

}  // namespace tarnwick
