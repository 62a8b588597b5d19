#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "kernel.hpp"

namespace tarnwick {
namespace {

std::optional<Kernel> make_kernel(benchmark::State& state, std::uint64_t seed) {
  auto built = Kernel::new_with_allocator(seed, allocate_table);
  if (!built) {
    state.SkipWithError(built.error().c_str());
    return std::nullopt;
  }
  return std::move(built).value();
}

// The unit a run counts: items/s here is the steps/s one worker can reach.
void BM_KernelStep(benchmark::State& state) {
  std::optional<Kernel> kernel = make_kernel(state, 0);
  if (!kernel) return;
  for (auto _ : state) benchmark::DoNotOptimize(kernel->step());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KernelStep);

// Paid once per worker before the gate opens: one reservation, 36,864 draws.
void BM_KernelConstruction(benchmark::State& state) {
  std::uint64_t seed = 0;
  for (auto _ : state) {
    std::optional<Kernel> kernel = make_kernel(state, seed++);
    if (!kernel) return;
    benchmark::DoNotOptimize(kernel->state);
    benchmark::DoNotOptimize(kernel->table.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KernelConstruction)->Unit(benchmark::kMicrosecond);

// The three phases alone, to see where a step's time goes.
void BM_Mix(benchmark::State& state) {
  std::uint64_t a = 1;
  for (auto _ : state) {
    a = mix(a);
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_Mix);

void BM_Scan(benchmark::State& state) {
  const std::optional<Kernel> kernel = make_kernel(state, 0);
  if (!kernel) return;
  std::uint64_t a = 1;
  for (auto _ : state) {
    a = scan(a, kernel->text).a;
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_Scan);

void BM_Walk(benchmark::State& state) {
  std::optional<Kernel> kernel = make_kernel(state, 0);
  if (!kernel) return;
  std::uint64_t a = 1;
  for (auto _ : state) {
    a = walk(a, kernel->table);
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_Walk);

}  // namespace
}  // namespace tarnwick
