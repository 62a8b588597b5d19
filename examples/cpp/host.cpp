// A minimal C++ host of the tarnwick library: runs one benchmark with a
// progress display, cancels it on Ctrl-C, and prints the result and its
// samples.
//
//   host [--warmup SECONDS] [--measure SECONDS] [--all-cpus]
//
// Exit status: the run's status (0 completed, 1 cancelled, 2 failed), or 64
// for a bad command line.
#include <signal.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>
#include <tarnwick.hpp>

namespace {

// Set before the handler is installed and cleared after it is removed; a
// lock-free atomic is safe to read in a signal handler.
std::atomic<tarnwick::Benchmark*> running{nullptr};
static_assert(std::atomic<tarnwick::Benchmark*>::is_always_lock_free);

// cancel() is a single atomic store in the library: safe in a signal handler.
extern "C" void on_interrupt(int) {
  if (tarnwick::Benchmark* bench = running.load()) bench->cancel();
}

// While it exists, the first Ctrl-C cancels `bench` and the library returns
// what it has; SA_RESETHAND makes a second one end the program at once.
// Declared after the Benchmark, so the handler is gone before the handle.
class CancelOnInterrupt {
 public:
  explicit CancelOnInterrupt(tarnwick::Benchmark& bench) {
    running.store(&bench);
    struct sigaction interrupt {};
    interrupt.sa_handler = on_interrupt;
    interrupt.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&interrupt.sa_mask);
    sigaction(SIGINT, &interrupt, &previous_);
  }
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;
  ~CancelOnInterrupt() {
    sigaction(SIGINT, &previous_, nullptr);
    running.store(nullptr);
  }

 private:
  struct sigaction previous_ {};
};

std::optional<tarnwick::Seconds> parse_seconds(const char* text) {
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0') return std::nullopt;
  return tarnwick::Seconds(seconds);
}

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--warmup SECONDS] [--measure SECONDS] [--all-cpus]\n", program);
  return 64;
}

void print_result(const tarnwick::Result& r) {
  std::printf("status: %s\n", tarnwick::name(r.status).data());
  if (!r.reason.empty()) std::printf("reason: %s\n", r.reason.c_str());
  std::printf("workers: %" PRIu32 "\n", r.threads);
  if (r.mean_rate) std::printf("mean rate: %.1f steps/s\n", *r.mean_rate);
  if (r.cv_percent) {
    std::printf("variation: %.2f %% (%s)\n", *r.cv_percent, r.unstable ? "unstable" : "stable");
  }
  std::printf("measured: %.3f s, %" PRIu64 " steps, checksum %016" PRIx64 "\n", r.measured.count(),
              r.operations, r.checksum);
  std::printf("samples: %zu\n", r.samples.size());
  for (const tarnwick::Sample& s : r.samples) {
    std::printf("  %8.3f s  %8.3f s  %12" PRIu64 " steps  %14.1f steps/s\n", s.time.count(),
                s.duration.count(), s.operations, s.rate);
  }
}

}  // namespace

int main(int argc, char** argv) {
  tarnwick::Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--all-cpus") {
      config.all_cpus = true;
    } else if ((option == "--warmup" || option == "--measure") && i + 1 < argc) {
      const std::optional<tarnwick::Seconds> seconds = parse_seconds(argv[++i]);
      if (!seconds) return usage(argv[0]);
      (option == "--warmup" ? config.warmup : config.measure) = *seconds;
    } else {
      return usage(argv[0]);
    }
  }

  try {
    tarnwick::Benchmark bench;
    std::printf("tarnwick %s\n", tarnwick::version().data());
    std::fflush(stdout);

    std::optional<tarnwick::Result> result;
    {
      const CancelOnInterrupt interruptible(bench);
      // Called about ten times a second: one line per phase, so the output
      // stays readable in a log.
      std::optional<tarnwick::Phase> last_phase;
      result = bench.run(config, [&](const tarnwick::Progress& p) {
        if (p.phase == last_phase) return;
        last_phase = p.phase;
        std::fprintf(stderr, "%s: %" PRIu32 " worker(s), %.0f %% done\n",
                     tarnwick::name(p.phase).data(), p.threads, p.progress * 100.0);
      });
    }
    print_result(*result);
    return static_cast<int>(result->status);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 2;
  }
}
