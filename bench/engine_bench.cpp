// Figures of the engine around the kernel: what the harness costs a worker,
// how fast a run starts and stops, how it scales and what memory it adds.
// Each case is one fixed procedure (Iterations(1)); its figures are counters.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver.hpp"
#include "kernel.hpp"
#include "runtime.hpp"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int LATENCY_RUNS = 20;

Durations window(std::uint64_t warmup_secs, std::uint64_t measure_secs) {
  return Durations{Duration{warmup_secs, 0}, Duration{measure_secs, 0}};
}

Outcome run(std::uint32_t benchmark, Durations durations, const ProgressCallback& callback = {},
            std::shared_ptr<CancelFlag> cancel = std::make_shared<CancelFlag>(false)) {
  const ProgressCallback quiet = [](const Progress&) {};
  return run_with(benchmark, durations, cancel, callback ? callback : quiet,
                  std::make_shared<System>());
}

// Steps per second of one kernel stepped with nothing around it.
double tight_rate(std::chrono::milliseconds span) {
  auto built = System().kernel(0);
  if (!built) return 0.0;
  Kernel& kernel = built.value();
  std::uint64_t steps = 0;
  std::uint64_t value = 0;
  const auto start = Clock::now();
  const auto end = start + span;
  Clock::time_point at;
  do {
    for (int i = 0; i < 64; ++i) value = kernel.step();
    steps += 64;
    at = Clock::now();
  } while (at < end);
  benchmark::DoNotOptimize(value);
  return static_cast<double>(steps) / std::chrono::duration<double>(at - start).count();
}

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

std::int64_t resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      std::int64_t kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

// The resident set a run with one worker per CPU adds at its peak. Runs first,
// before other cases have left thread stacks cached in the process.
void BM_RunMemory(benchmark::State& state) {
  for (auto _ : state) {
    const std::int64_t before = resident_kib();
    std::int64_t peak = before;
    const Outcome o =
        run(2, window(0, 1), [&](const Progress&) { peak = std::max(peak, resident_kib()); });
    state.counters["threads"] = o.threads;
    state.counters["added_KiB"] = static_cast<double>(peak - before);
    state.counters["budget_KiB"] = 1024.0 + 300.0 * o.threads;
  }
}
BENCHMARK(BM_RunMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// One worker under the driver against the same step in a tight loop. Rounds
// of tight / run / tight keep a drifting machine from biasing the ratio; the
// median round is the figure.
void BM_HarnessEfficiency(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> ratios;
    double tight_sum = 0.0;
    double run_sum = 0.0;
    for (int round = 0; round < 4; ++round) {
      const double before = tight_rate(std::chrono::milliseconds(1000));
      const double harnessed = run(1, window(0, 2)).mean_rate.value_or(0.0);
      const double after = tight_rate(std::chrono::milliseconds(1000));
      ratios.push_back(2.0 * harnessed / (before + after));
      tight_sum += (before + after) / 2.0;
      run_sum += harnessed;
    }
    state.counters["tight_steps_per_s"] = tight_sum / 4.0;
    state.counters["run_steps_per_s"] = run_sum / 4.0;
    state.counters["efficiency"] = median(ratios);
    state.counters["efficiency_min"] = *std::min_element(ratios.begin(), ratios.end());
  }
}
BENCHMARK(BM_HarnessEfficiency)->Iterations(1)->Unit(benchmark::kMillisecond);

// From setting the cancel flag on another thread to run_with returning,
// cancelled at staggered points of the measurement.
void BM_CancelLatency(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> latencies;
    for (int i = 0; i < LATENCY_RUNS; ++i) {
      auto cancel = std::make_shared<CancelFlag>(false);
      std::promise<void> measuring;
      bool told = false;
      Clock::time_point cancelled_at;
      std::thread canceller([&, seen = measuring.get_future()] {
        seen.wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 3 * i));
        cancelled_at = Clock::now();
        cancel->store(true);
      });
      const Outcome o = run(
          1, window(0, 30),
          [&](const Progress& p) {
            if (!told && p.phase == PHASE_MEASUREMENT) {
              told = true;
              measuring.set_value();
            }
          },
          cancel);
      const auto returned = Clock::now();
      canceller.join();
      if (o.status != STATUS_CANCELLED) state.SkipWithError("a run was not cancelled");
      latencies.push_back(milliseconds(returned - cancelled_at));
    }
    state.counters["max_ms"] = *std::max_element(latencies.begin(), latencies.end());
    state.counters["median_ms"] = median(latencies);
  }
}
BENCHMARK(BM_CancelLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

// From calling run_with to its first progress report: thread start and kernel
// construction, for one worker and for one per CPU.
void BM_StartLatency(benchmark::State& state) {
  const auto benchmark_kind = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    std::vector<double> latencies;
    for (int i = 0; i < LATENCY_RUNS; ++i) {
      auto cancel = std::make_shared<CancelFlag>(false);
      Clock::time_point first_report;
      const auto called = Clock::now();
      static_cast<void>(run(
          benchmark_kind, window(0, 30),
          [&](const Progress&) {
            if (!cancel->load()) first_report = Clock::now();
            cancel->store(true);
          },
          cancel));
      latencies.push_back(milliseconds(first_report - called));
    }
    state.counters["median_ms"] = median(latencies);
    state.counters["max_ms"] = *std::max_element(latencies.begin(), latencies.end());
  }
}
BENCHMARK(BM_StartLatency)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);

// Tight-loop steps per second summed over `threads` threads stepping at once:
// what the machine itself offers, without the harness.
double parallel_tight_rate(std::size_t threads, std::chrono::milliseconds span) {
  std::vector<double> rates(threads);
  std::vector<std::thread> running;
  for (std::size_t i = 0; i < threads; ++i) {
    running.emplace_back([&rates, i, span] { rates[i] = tight_rate(span); });
  }
  for (auto& t : running) t.join();
  double sum = 0.0;
  for (const double r : rates) sum += r;
  return sum;
}

// The all-CPU mean rate over threads times the single-worker mean rate, in
// alternating rounds; the median round is the figure. The same ratio for bare
// tight loops on plain threads shows what the machine allows.
void BM_Scaling(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> ratios;
    double threads = 0.0;
    for (int round = 0; round < 3; ++round) {
      const Outcome single = run(1, window(0, 2));
      const Outcome all = run(2, window(0, 2));
      threads = all.threads;
      ratios.push_back(all.mean_rate.value_or(0.0) / (threads * single.mean_rate.value_or(0.0)));
    }
    const auto n = static_cast<std::size_t>(threads);
    const double bare_single = tight_rate(std::chrono::milliseconds(1000));
    const double bare_all = parallel_tight_rate(n, std::chrono::milliseconds(1000));
    state.counters["threads"] = threads;
    state.counters["scaling"] = median(ratios);
    state.counters["machine_scaling"] = bare_all / (threads * bare_single);
  }
}
BENCHMARK(BM_Scaling)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick
