/* Duration boundaries, seen through the result record. Accepted records are
 * run on a handle cancelled beforehand, so the engine admits them and stops
 * at once: the record then shows what the library kept of the host's values. */
#include <stdint.h>
#include <string.h>

#include "check.h"
#include "tarnwick.h"

#define BITS_LARGEST_BELOW_2_64 0x43efffffffffffffULL
#define BITS_MINUS_ZERO 0x8000000000000000ULL
#define BITS_1E_10 0x3ddb7cdfd9d7bdbbULL
#define BITS_2_M31 0x3e00000000000000ULL /* 2^-31 s: rounds to 0 ns */
#define BITS_2_M30 0x3e10000000000000ULL /* 2^-30 s: rounds to 1 ns */
#define BITS_HALF 0x3fe0000000000000ULL
#define BITS_1E19 0x43e158e460913d00ULL

static const char* const BEFORE_START = "cancelled before starting";
static const char* const NOT_POSITIVE = "measurement duration must be positive";

struct boundary {
  const char* name;
  uint32_t benchmark;
  uint64_t warmup_bits;
  uint64_t measure_bits;
  int cancel_first;
  uint32_t status;
  const char* reason;
  int threads; /* -1: any positive count */
};

static const struct boundary BOUNDARIES[] = {
    {"negative zero warm-up", 1, BITS_MINUS_ZERO, BITS_HALF, 1, 1, BEFORE_START, 1},
    {"sub-nanosecond warm-up", 1, BITS_1E_10, BITS_HALF, 1, 1, BEFORE_START, 1},
    {"largest warm-up", 1, BITS_LARGEST_BELOW_2_64, BITS_HALF, 1, 1, BEFORE_START, 1},
    {"largest window", 1, 0, BITS_LARGEST_BELOW_2_64, 1, 1, BEFORE_START, 1},
    {"one-nanosecond window", 1, 0, BITS_2_M30, 1, 1, BEFORE_START, 1},
    {"all CPUs", 2, 0, BITS_HALF, 1, 1, BEFORE_START, -1},
    /* Positive but under half a nanosecond: valid here, an empty window to
     * the engine, which refuses it before it looks at the cancel flag. */
    {"window 1e-10", 1, 0, BITS_1E_10, 1, 2, NOT_POSITIVE, 0},
    {"window 2^-31", 1, 0, BITS_2_M31, 0, 2, NOT_POSITIVE, 0},
    /* Below 2^64 s, so valid, but past the monotonic clock's range. */
    {"warm-up 1e19", 1, BITS_1E19, BITS_HALF, 0, 2,
     "requested duration exceeds the monotonic clock range", 1},
};

static int callback_calls;

static void count_calls(const tarnwick_progress_t* p, void* user_data) {
  (void)p;
  (void)user_data;
  ++callback_calls;
}

static void check_boundary(const struct boundary* b) {
  tarnwick_config_t config;
  tarnwick_result_t result;
  tarnwick_handle_t* h = tarnwick_create();
  tarnwick_default_config(&config);
  config.benchmark = b->benchmark;
  config.warmup_seconds = check_from_bits(b->warmup_bits);
  config.measure_seconds = check_from_bits(b->measure_bits);
  if (b->cancel_first) tarnwick_cancel(h);
  callback_calls = 0;
  CHECK(tarnwick_run(h, &config, count_calls, NULL) == (int32_t)b->status);
  CHECK(callback_calls == 0);
  CHECK(tarnwick_result(h, &result) == 1);
  CHECK(result.status == b->status);
  CHECK(result.benchmark == b->benchmark);
  CHECK(b->threads < 0 ? result.threads >= 1 : result.threads == (uint32_t)b->threads);
  CHECK(check_bits(result.warmup_seconds) == b->warmup_bits);
  CHECK(check_bits(result.measure_seconds) == b->measure_bits);
  CHECK(result.sample_count == 0 && result.operations == 0 && result.mean_rate == 0.0);
  CHECK_STR(tarnwick_reason(h), b->reason);
  if (check_case_failed) fprintf(stderr, "  in case: %s\n", b->name);
  tarnwick_free(h);
}

static void boundaries_are_echoed_bit_for_bit(void) {
  size_t i;
  for (i = 0; i < sizeof BOUNDARIES / sizeof BOUNDARIES[0]; ++i) {
    check_boundary(&BOUNDARIES[i]);
  }
}

int main(void) {
  RUN_CASE(boundaries_are_echoed_bit_for_bit);
  return check_report();
}
