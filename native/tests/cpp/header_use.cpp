// Compiled, never run, at each language level the header promises: the
// header first (it must stand alone), then every template instantiated with
// the kinds of callables hosts pass.
#include <functional>
#include <tarnwick.hpp>

namespace {

void on_progress(const tarnwick::Progress& progress) { static_cast<void>(progress); }

struct Counter {
  int calls = 0;
  void operator()(const tarnwick::Progress&) { ++calls; }
};

}  // namespace

int main() {
  tarnwick::Config config;
  config.all_cpus = true;
  config.warmup = std::chrono::milliseconds(5);
  config.measure = std::chrono::duration<float, std::micro>(1.5f);

  tarnwick::Benchmark bench;
  Counter counter;
  const tarnwick::Result result = bench.run(config, counter);
  static_cast<void>(tarnwick::Benchmark().run(config, on_progress));
  static_cast<void>(tarnwick::Benchmark().run(config, &on_progress));
  static_cast<void>(tarnwick::run(config, std::function<void(const tarnwick::Progress&)>()));
  static_cast<void>(tarnwick::run(config, [&](const tarnwick::Progress& p) {
    if (p.phase == tarnwick::Phase::measurement) bench.cancel();
  }));
  static_cast<void>(tarnwick::run());
  const std::optional<tarnwick::Result> stored = bench.result();
  return stored && result.mean_rate ? 0 : static_cast<int>(result.status);
}
