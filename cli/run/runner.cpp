#include "run/runner.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

#include "document/run_id.hpp"
#include "environment/host_facts.hpp"
#include "environment/noise.hpp"
#include "run/signals.hpp"
#include "run/warnings.hpp"
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
  report.started = utc_text(utc_now(), true);

  // Failed, of the benchmark asked for, until the library answers.
  report.result.all_cpus = config.all_cpus;

  NoiseSampler sampler(NoiseSources(NoiseSources::root_from_environment(), allowed_cpus()));
  const auto began = std::chrono::steady_clock::now();
  try {
    Benchmark benchmark;
    const Published published(benchmark);
    // A lost frame of the display is harmless; nothing may stop the run.
    report.result = benchmark.run(config, [&](const Progress& progress) noexcept {
      try {
        // Read here, on the thread that reports, never in the workers' loop.
        if (progress.phase == Phase::measurement) {
          sampler.measuring(progress.phase_elapsed.count());
        } else if (progress.phase != Phase::warmup) {
          sampler.finished(progress.phase_elapsed.count());
        }
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
  report.ended = utc_text(utc_now(), true);
  sampler.finished(report.result.measured.count());
  report.noise = sampler.window();
  std::vector<double> ends, durations;
  for (const Sample& sample : report.result.samples) {
    ends.push_back(sample.time.count());
    durations.push_back(sample.duration.count());
  }
  report.sample_noise = sampler.seconds(ends, durations);
  report.disturbed_samples = disturbed_samples(report, sampler.run_cpu_count());
  return report;
}

}  // namespace tarnwick
