// Must not compile with -Werror: each case discards a run's Result, which
// holds the only word on whether the run failed. DISCARD picks the case.
#include <tarnwick.hpp>

int main() {
  const tarnwick::Config config;
  tarnwick::Benchmark bench;
#if DISCARD == 1
  bench.run(config);
#elif DISCARD == 2
  bench.run(config, [](const tarnwick::Progress&) {});
#elif DISCARD == 3
  tarnwick::run(config);
#elif DISCARD == 4
  tarnwick::run(config, [](const tarnwick::Progress&) {});
#else
  static_cast<void>(bench.run(config));  // the control: a deliberate discard compiles
#endif
  return 0;
}
