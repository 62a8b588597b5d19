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

}  // namespace

RunReport run_once(const Config& config, const std::string& label, ProgressDisplay& display) {
  RunReport report;
  report.id = new_run_id();
  report.label = label;
  report.started = utc_text(std::chrono::system_clock::now(), true);

  // Failed, of the benchmark asked for, until the library answers.
  report.result.all_cpus = config.all_cpus;

  NoiseProbe probe;
  const auto began = std::chrono::steady_clock::now();
  try {
    Benchmark benchmark;
    const Published published(benchmark);
    // A lost frame of the display is harmless; nothing may stop the run.
    report.result = benchmark.run(config, [&](const Progress& progress) noexcept {
      try {
        if (progress.phase == Phase::measurement) probe.start();
        if (progress.phase == Phase::warmup || progress.phase == Phase::measurement) {
          report.last_phase = progress.phase;
        }
        display.update(progress);
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
