#include "run/runner.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

#include "document/run_id.hpp"
#include "environment/noise.hpp"
#include "run/signals.hpp"
#include "tarnwick.hpp"

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

// The model keeps the library's record: the JSON, CSV and store read its
// fields as the C interface defines them.
tarnwick_result_t to_record(const Result& result) {
  tarnwick_result_t record{};
  record.abi_version = static_cast<uint32_t>(result.abi_version);
  record.status = static_cast<uint32_t>(result.status);
  record.benchmark = result.all_cpus ? TARNWICK_BENCHMARK_ALL_CPUS : TARNWICK_BENCHMARK_SINGLE;
  record.threads = result.threads;
  record.mean_rate = result.mean_rate.value_or(0.0);
  record.warmup_seconds = result.warmup.count();
  record.measure_seconds = result.measure.count();
  record.measured_seconds = result.measured.count();
  record.cv_percent = result.cv_percent.value_or(0.0);
  record.operations = result.operations;
  record.checksum = result.checksum;
  record.sample_count = result.samples.size();
  record.unstable = result.unstable ? 1 : 0;
  record.has_cv = result.cv_percent ? 1 : 0;
  return record;
}

}  // namespace

RunReport run_once(const tarnwick_config_t& config, const std::string& label,
                   ProgressDisplay& display) {
  RunReport report;
  report.id = new_run_id();
  report.label = label;
  report.started = utc_text(std::chrono::system_clock::now());
  report.result.status = TARNWICK_STATUS_FAILED;
  report.result.benchmark = config.benchmark;

  Config wanted;
  wanted.all_cpus = config.benchmark == TARNWICK_BENCHMARK_ALL_CPUS;
  wanted.warmup = Seconds(config.warmup_seconds);
  wanted.measure = Seconds(config.measure_seconds);

  NoiseProbe probe;
  std::optional<Result> result;
  const auto began = std::chrono::steady_clock::now();
  try {
    Benchmark benchmark;
    const Published published(benchmark);
    // A lost frame of the display is harmless; nothing may stop the run.
    result = benchmark.run(wanted, [&](const Progress& progress) noexcept {
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
    report.reason = error.what();
  }
  display.clear();
  report.run_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  report.ended = utc_text(std::chrono::system_clock::now());
  report.noise = probe.finish();
  if (!result) return report;
  report.result = to_record(*result);
  report.reason = result->reason;
  report.samples.reserve(result->samples.size());
  for (const Sample& sample : result->samples) {
    report.samples.push_back(
        {sample.time.count(), sample.duration.count(), sample.operations, sample.rate});
  }
  return report;
}

}  // namespace tarnwick
