/* The exports that need no benchmark run, called as a C host calls them:
 * null arguments, defaults, version, fresh handles and every rejection. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "tarnwick.h"

static int callback_calls;

static void count_calls(const tarnwick_progress_t* p, void* user_data) {
  (void)p;
  (void)user_data;
  ++callback_calls;
}

static void null_arguments_do_nothing(void) {
  tarnwick_handle_t* h = tarnwick_create();
  tarnwick_config_t config;
  tarnwick_result_t result;
  tarnwick_sample_t sample;
  CHECK(h != NULL);
  tarnwick_default_config(&config);
  CHECK(tarnwick_default_config(NULL) == 0);
  tarnwick_cancel(NULL);
  tarnwick_free(NULL);
  callback_calls = 0;
  CHECK(tarnwick_run(NULL, &config, count_calls, NULL) == 2);
  CHECK(callback_calls == 0);
  CHECK(tarnwick_result(NULL, &result) == 0);
  CHECK(tarnwick_sample(NULL, 0, &sample) == 0);
  CHECK(tarnwick_reason(NULL) == NULL);
  /* Null outputs are refused even once an outcome is stored. */
  CHECK(tarnwick_run(h, NULL, NULL, NULL) == 2);
  CHECK(tarnwick_result(h, NULL) == 0);
  CHECK(tarnwick_sample(h, 0, NULL) == 0);
  tarnwick_free(h);
}

static void default_config_overwrites_all_32_bytes(void) {
  static const unsigned char expected[32] = {
      0x01, 0, 0, 0, 0x20, 0, 0,    0,   0x01, 0, 0,    0,
      0,    0, 0, 0, 0,    0, 0,    0,   0,    0, 0x5e, 0x40, /* 120.0 */
      0,    0, 0, 0, 0,    0, 0x4e, 0x40                      /* 60.0 */
  };
  tarnwick_config_t config;
  memset(&config, 0xff, sizeof config);
  CHECK(tarnwick_default_config(&config) == 1);
  CHECK(memcmp(&config, expected, sizeof expected) == 0);
  CHECK(tarnwick_abi_version() == TARNWICK_ABI_VERSION);
}

static void version_is_one_static_text(void) {
  const char* v = tarnwick_version();
  char composed[32];
  CHECK(v != NULL);
  CHECK(memcmp(v, "0.0.2", 6) == 0); /* the terminator included */
  CHECK(tarnwick_version() == v);
  /* The generated header agrees with the library, and with itself. */
  CHECK(strcmp(v, TARNWICK_VERSION_STRING) == 0);
  snprintf(composed, sizeof composed, "%d.%d.%d", TARNWICK_VERSION_MAJOR, TARNWICK_VERSION_MINOR,
           TARNWICK_VERSION_PATCH);
  CHECK(strcmp(composed, TARNWICK_VERSION_STRING) == 0);
}

static void fresh_handle_reports_nothing(void) {
  tarnwick_handle_t* h = tarnwick_create();
  tarnwick_result_t result, before;
  tarnwick_sample_t sample, sample_before;
  CHECK(h != NULL);
  memset(&result, 0x5a, sizeof result);
  memset(&sample, 0x5a, sizeof sample);
  before = result;
  sample_before = sample;
  CHECK(tarnwick_result(h, &result) == 0);
  CHECK(memcmp(&result, &before, sizeof result) == 0);
  CHECK(tarnwick_sample(h, 0, &sample) == 0);
  CHECK(memcmp(&sample, &sample_before, sizeof sample) == 0);
  CHECK(tarnwick_reason(h) == NULL);
  /* Cancelling an idle handle and freeing it must not leak (leak checker). */
  tarnwick_cancel(h);
  tarnwick_free(h);
  tarnwick_free(tarnwick_create());
}

enum edit_kind { NONE, ABI, SIZE, BENCHMARK, RESERVED, WARMUP, MEASURE };

struct rejection {
  const char* name;
  int null_config;
  enum edit_kind kind;
  uint64_t value; /* integer field value, or the bits of a double */
  uint32_t benchmark_field;
  uint32_t reserved_field;
  const char* reason;
  uint32_t benchmark;
  uint64_t warmup_bits;
  uint64_t measure_bits;
};

#define BITS_120 0x405e000000000000ULL
#define BITS_60 0x404e000000000000ULL
#define BITS_HOST_WARMUP 0x401d000000000000ULL  /* 7.25 */
#define BITS_HOST_MEASURE 0x400c000000000000ULL /* 3.5 */
#define BITS_QNAN_PAYLOAD 0x7ff8000000001234ULL
#define BITS_SNAN_NEGATIVE 0xfff0000000000abcULL
#define BITS_INF 0x7ff0000000000000ULL
#define BITS_2_64 0x43f0000000000000ULL
#define BITS_MINUS_ONE 0xbff0000000000000ULL
#define BITS_MINUS_ZERO 0x8000000000000000ULL

static const char* const INCOMPATIBLE = "incompatible C ABI/config size";
static const char* const UNKNOWN = "unknown benchmark";
static const char* const RESERVED_MSG = "reserved config field must be zero";
static const char* const DURATIONS = "durations must be finite: warmup >= 0, measurement > 0";

static const struct rejection REJECTIONS[] = {
    {"null config", 1, NONE, 0, 1, 0, "config is null", 1, BITS_120, BITS_60},
    {"abi 2", 0, ABI, 2, 1, 0, INCOMPATIBLE, 1, BITS_120, BITS_60},
    {"size 40", 0, SIZE, 40, 1, 0, INCOMPATIBLE, 1, BITS_120, BITS_60},
    {"size 0 with benchmark 7", 0, SIZE, 0, 7, 0, INCOMPATIBLE, 1, BITS_120, BITS_60},
    {"benchmark 0", 0, NONE, 0, 0, 0, UNKNOWN, 1, BITS_HOST_WARMUP, BITS_HOST_MEASURE},
    {"benchmark 3", 0, NONE, 0, 3, 0, UNKNOWN, 1, BITS_HOST_WARMUP, BITS_HOST_MEASURE},
    {"benchmark 3, reserved 1", 0, NONE, 0, 3, 1, UNKNOWN, 1, BITS_HOST_WARMUP, BITS_HOST_MEASURE},
    {"benchmark 2, reserved 1", 0, NONE, 0, 2, 1, RESERVED_MSG, 2, BITS_HOST_WARMUP,
     BITS_HOST_MEASURE},
    {"reserved before durations", 0, WARMUP, BITS_MINUS_ONE, 1, 1, RESERVED_MSG, 1, BITS_MINUS_ONE,
     BITS_HOST_MEASURE},
    {"warm-up -1", 0, WARMUP, BITS_MINUS_ONE, 2, 0, DURATIONS, 2, BITS_MINUS_ONE,
     BITS_HOST_MEASURE},
    {"warm-up NaN payload", 0, WARMUP, BITS_QNAN_PAYLOAD, 1, 0, DURATIONS, 1, BITS_QNAN_PAYLOAD,
     BITS_HOST_MEASURE},
    {"warm-up signalling NaN", 0, WARMUP, BITS_SNAN_NEGATIVE, 1, 0, DURATIONS, 1,
     BITS_SNAN_NEGATIVE, BITS_HOST_MEASURE},
    {"warm-up infinity", 0, WARMUP, BITS_INF, 1, 0, DURATIONS, 1, BITS_INF, BITS_HOST_MEASURE},
    {"warm-up 2^64", 0, WARMUP, BITS_2_64, 1, 0, DURATIONS, 1, BITS_2_64, BITS_HOST_MEASURE},
    {"window 0", 0, MEASURE, 0, 1, 0, DURATIONS, 1, BITS_HOST_WARMUP, 0},
    {"window -0", 0, MEASURE, BITS_MINUS_ZERO, 1, 0, DURATIONS, 1, BITS_HOST_WARMUP,
     BITS_MINUS_ZERO},
    {"window NaN payload", 0, MEASURE, BITS_QNAN_PAYLOAD, 1, 0, DURATIONS, 1, BITS_HOST_WARMUP,
     BITS_QNAN_PAYLOAD},
    {"window infinity", 0, MEASURE, BITS_INF, 1, 0, DURATIONS, 1, BITS_HOST_WARMUP, BITS_INF},
    {"window 2^64", 0, MEASURE, BITS_2_64, 1, 0, DURATIONS, 1, BITS_HOST_WARMUP, BITS_2_64},
};

static void check_rejection(const struct rejection* r) {
  tarnwick_config_t config;
  tarnwick_result_t result;
  tarnwick_sample_t sample;
  const char* reason;
  tarnwick_handle_t* h = tarnwick_create();
  tarnwick_default_config(&config);
  config.benchmark = r->benchmark_field;
  config.reserved = r->reserved_field;
  config.warmup_seconds = check_from_bits(BITS_HOST_WARMUP);
  config.measure_seconds = check_from_bits(BITS_HOST_MEASURE);
  switch (r->kind) {
    case ABI:
      config.abi_version = (uint32_t)r->value;
      break;
    case SIZE:
      config.size = (uint32_t)r->value;
      break;
    case WARMUP:
      config.warmup_seconds = check_from_bits(r->value);
      break;
    case MEASURE:
      config.measure_seconds = check_from_bits(r->value);
      break;
    default:
      break;
  }
  callback_calls = 0;
  CHECK(tarnwick_run(h, r->null_config ? NULL : &config, count_calls, NULL) == 2);
  CHECK(callback_calls == 0);
  CHECK(tarnwick_result(h, &result) == 1);
  CHECK(result.abi_version == 1);
  CHECK(result.status == 2);
  CHECK(result.benchmark == r->benchmark);
  CHECK(result.threads == 0);
  CHECK(check_bits(result.warmup_seconds) == r->warmup_bits);
  CHECK(check_bits(result.measure_seconds) == r->measure_bits);
  CHECK(result.mean_rate == 0.0 && result.has_cv == 0 && result.cv_percent == 0.0);
  CHECK(result.sample_count == 0 && result.operations == 0 && result.unstable == 0);
  CHECK(tarnwick_sample(h, 0, &sample) == 0);
  reason = tarnwick_reason(h);
  CHECK_STR(reason, r->reason);
  if (check_case_failed) fprintf(stderr, "  in case: %s\n", r->name);
  tarnwick_free(h);
}

static void every_rejection_is_stored_as_the_table_says(void) {
  size_t i;
  for (i = 0; i < sizeof REJECTIONS / sizeof REJECTIONS[0]; ++i) {
    check_rejection(&REJECTIONS[i]);
  }
}

/* A rejected attempt uses the handle up: a valid second call changes nothing
 * and never reaches the engine or the callback. */
static void rejection_uses_up_the_handle(void) {
  tarnwick_config_t config;
  tarnwick_result_t first, second;
  const char* reason;
  tarnwick_handle_t* h = tarnwick_create();
  tarnwick_default_config(&config);
  config.warmup_seconds = 0.0;
  config.measure_seconds = 0.05;
  CHECK(tarnwick_run(h, NULL, count_calls, NULL) == 2);
  CHECK(tarnwick_result(h, &first) == 1);
  reason = tarnwick_reason(h);
  callback_calls = 0;
  CHECK(tarnwick_run(h, &config, count_calls, NULL) == 2);
  CHECK(callback_calls == 0);
  CHECK(tarnwick_result(h, &second) == 1);
  CHECK(memcmp(&first, &second, sizeof first) == 0);
  CHECK(tarnwick_reason(h) == reason);
  CHECK_STR(reason, "config is null");
  tarnwick_free(h);
}

int main(void) {
  RUN_CASE(null_arguments_do_nothing);
  RUN_CASE(default_config_overwrites_all_32_bytes);
  RUN_CASE(version_is_one_static_text);
  RUN_CASE(fresh_handle_reports_nothing);
  RUN_CASE(every_rejection_is_stored_as_the_table_says);
  RUN_CASE(rejection_uses_up_the_handle);
  return check_report();
}
