// Whether reading the per-second noise moves the rate: runs of the real
// engine in this process, in pairs with and without the readings (the order
// within a pair alternating, so a drift of the machine cancels), the
// readings taken exactly as the program takes them, on the reporting
// thread. Its figures: the median of the pairs' differences in percent and
// a 95 % sign-test interval for it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "environment/host_facts.hpp"
#include "environment/noise.hpp"
#include "tarnwick.hpp"

namespace tarnwick {
namespace {

// 24 pairs at least; NOISE_BENCH_PAIRS asks for more, for a narrower
// interval.
int pairs() {
  const char* asked = std::getenv("NOISE_BENCH_PAIRS");
  const int wanted = asked != nullptr ? std::atoi(asked) : 0;
  return std::max(wanted, 24);
}
constexpr double WARMUP_SECONDS = 0.3;
constexpr double WINDOW_SECONDS = 2.0;

double one_run(bool read_noise) {
  Config config;
  config.warmup = Seconds(WARMUP_SECONDS);
  config.measure = Seconds(WINDOW_SECONDS);
  NoiseSampler sampler(NoiseSources(NoiseSources::root_from_environment(), allowed_cpus()));
  Benchmark benchmark;
  const Result result = benchmark.run(config, [&](const Progress& progress) noexcept {
    if (!read_noise) return;
    if (progress.phase == Phase::measurement) {
      sampler.measuring(progress.phase_elapsed.count());
    } else if (progress.phase != Phase::warmup) {
      sampler.finished(progress.phase_elapsed.count());
    }
  });
  if (read_noise) {
    std::vector<double> ends, durations;
    for (const Sample& sample : result.samples) {
      ends.push_back(sample.time.count());
      durations.push_back(sample.duration.count());
    }
    benchmark::DoNotOptimize(sampler.seconds(ends, durations));
  }
  return result.mean_rate.value_or(0.0);
}

// The smallest k with P(B < k) > 0.025 for B ~ Binomial(n, 1/2): the
// interval from the k-th smallest to the k-th largest difference covers the
// median with at least 95 %.
std::size_t sign_test_rank(std::size_t n) {
  double cumulative = 0.0;
  for (std::size_t k = 0; k <= n; ++k) {
    const double term = std::exp(
        std::lgamma(static_cast<double>(n) + 1) - std::lgamma(static_cast<double>(k) + 1) -
        std::lgamma(static_cast<double>(n - k) + 1) - static_cast<double>(n) * std::log(2.0));
    if (cumulative + term > 0.025) return std::max<std::size_t>(k, 1);
    cumulative += term;
  }
  return 1;
}

void BM_NoiseReadings(benchmark::State& state) {
  std::vector<double> differences;
  for (auto _ : state) {
    const int count = pairs();
    for (int pair = 0; pair < count; ++pair) {
      const bool with_first = pair % 2 == 0;
      const double first = one_run(with_first);
      const double second = one_run(!with_first);
      const double with = with_first ? first : second;
      const double without = with_first ? second : first;
      if (with > 0 && without > 0) differences.push_back((with / without - 1.0) * 100.0);
    }
  }
  std::sort(differences.begin(), differences.end());
  const std::size_t n = differences.size();
  if (n == 0) {
    state.SkipWithError("no completed pair");
    return;
  }
  const double median =
      n % 2 == 1 ? differences[n / 2] : (differences[n / 2 - 1] + differences[n / 2]) / 2.0;
  const std::size_t k = sign_test_rank(n);
  state.counters["pairs"] = static_cast<double>(n);
  state.counters["median_difference_percent"] = median;
  state.counters["interval_low_percent"] = differences[k - 1];
  state.counters["interval_high_percent"] = differences[n - k];
}
BENCHMARK(BM_NoiseReadings)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarnwick
