/* A minimal host of the tarnwick library: runs one benchmark with a progress
 * display, cancels it on Ctrl-C, and prints the result and its samples.
 *
 *   host [--warmup SECONDS] [--measure SECONDS] [--all-cpus]
 *
 * Exit status: the run's status (0 completed, 1 cancelled, 2 failed), or 64
 * for a bad command line. */
#define _POSIX_C_SOURCE 200809L

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tarnwick.h>

/* Written before the handler is installed and not changed until it has been
 * removed, so the handler only ever reads a settled value. */
static tarnwick_handle_t* volatile running_handle;

/* tarnwick_cancel is a single atomic store: safe in a signal handler. */
static void on_interrupt(int signal_number) {
  (void)signal_number;
  tarnwick_cancel(running_handle);
}

static const char* phase_name(uint32_t phase) {
  switch (phase) {
    case TARNWICK_PHASE_WARMUP:
      return "warm-up";
    case TARNWICK_PHASE_MEASUREMENT:
      return "measurement";
    case TARNWICK_PHASE_COMPLETED:
      return "completed";
    case TARNWICK_PHASE_CANCELLED:
      return "cancelled";
    default:
      return "failed";
  }
}

/* Called on the thread that runs the benchmark, about ten times a second: one
 * line per phase, so the output stays readable in a log. */
static void on_progress(const tarnwick_progress_t* report, void* user_data) {
  uint32_t* last_phase = (uint32_t*)user_data;
  if (report->phase == *last_phase) return;
  *last_phase = report->phase;
  fprintf(stderr, "%s: %u worker(s), %.0f %% done\n", phase_name(report->phase), report->threads,
          report->progress * 100.0);
}

static int parse_seconds(const char* text, double* out) {
  char* end = NULL;
  *out = strtod(text, &end);
  return end != text && *end == '\0';
}

static int usage(const char* program) {
  fprintf(stderr, "usage: %s [--warmup SECONDS] [--measure SECONDS] [--all-cpus]\n", program);
  return 64;
}

static void print_result(tarnwick_handle_t* handle) {
  static const char* const status_names[] = {"completed", "cancelled", "failed"};
  tarnwick_result_t result;
  tarnwick_sample_t sample;
  uint64_t i;

  if (!tarnwick_result(handle, &result)) return;
  printf("status: %s\n", result.status <= 2 ? status_names[result.status] : "unknown");
  if (*tarnwick_reason(handle) != '\0') printf("reason: %s\n", tarnwick_reason(handle));
  printf("workers: %u\n", result.threads);
  /* The mean exists only for a completed run; the variation needs two samples. */
  if (result.status == TARNWICK_STATUS_COMPLETED) {
    printf("mean rate: %.1f steps/s\n", result.mean_rate);
  }
  if (result.has_cv) {
    printf("variation: %.2f %% (%s)\n", result.cv_percent, result.unstable ? "unstable" : "stable");
  }
  printf("measured: %.3f s, %llu steps, checksum %016llx\n", result.measured_seconds,
         (unsigned long long)result.operations, (unsigned long long)result.checksum);
  printf("samples: %llu\n", (unsigned long long)result.sample_count);
  for (i = 0; i < result.sample_count && tarnwick_sample(handle, i, &sample); ++i) {
    printf("  %8.3f s  %8.3f s  %12llu steps  %14.1f steps/s\n", sample.time, sample.duration,
           (unsigned long long)sample.operations, sample.rate);
  }
}

int main(int argc, char** argv) {
  tarnwick_config_t config;
  tarnwick_handle_t* handle;
  struct sigaction interrupt, previous;
  uint32_t last_phase = 0;
  int status;
  int i;

  if (tarnwick_abi_version() != TARNWICK_ABI_VERSION) {
    fprintf(stderr, "%s: library interface %d, built for %d\n", argv[0],
            (int)tarnwick_abi_version(), TARNWICK_ABI_VERSION);
    return 2;
  }
  tarnwick_default_config(&config);
  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--all-cpus") == 0) {
      config.benchmark = TARNWICK_BENCHMARK_ALL_CPUS;
    } else if (strcmp(argv[i], "--warmup") == 0 && i + 1 < argc) {
      if (!parse_seconds(argv[++i], &config.warmup_seconds)) return usage(argv[0]);
    } else if (strcmp(argv[i], "--measure") == 0 && i + 1 < argc) {
      if (!parse_seconds(argv[++i], &config.measure_seconds)) return usage(argv[0]);
    } else {
      return usage(argv[0]);
    }
  }

  handle = tarnwick_create();
  if (handle == NULL) {
    fprintf(stderr, "%s: cannot create a handle\n", argv[0]);
    return 2;
  }
  printf("tarnwick %s\n", tarnwick_version());
  fflush(stdout);

  /* The first Ctrl-C cancels the run and the library returns what it has;
   * SA_RESETHAND makes a second one end the program at once. */
  running_handle = handle;
  memset(&interrupt, 0, sizeof interrupt);
  interrupt.sa_handler = on_interrupt;
  interrupt.sa_flags = (int)SA_RESETHAND;
  sigemptyset(&interrupt.sa_mask);
  sigaction(SIGINT, &interrupt, &previous);

  status = tarnwick_run(handle, &config, on_progress, &last_phase);

  sigaction(SIGINT, &previous, NULL);
  print_result(handle);
  tarnwick_free(handle);
  return status;
}
