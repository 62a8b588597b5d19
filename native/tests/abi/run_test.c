/* A short completed run through the exported interface: what the callback
 * sees while it runs, and what the queries return afterwards. */
#define _POSIX_C_SOURCE 200809L

#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>

#include "check.h"
#include "tarnwick.h"

#define MAX_REPORTS 4096

struct watch {
  pthread_t caller;
  tarnwick_handle_t* handle;
  int reports;
  int off_thread;      /* reports delivered on another thread */
  int wrong_user_data; /* reports with another user_data */
  int out_of_range;    /* progress or phase_elapsed outside their bounds */
  int progress_went_back;
  int queries_answered; /* a query returned something during the run */
  int nested_same_handle;
  int nested_calls;
  uint32_t nested_other_status;
  uint32_t nested_other_threads;
  int nested_other_reason_ok;
  double last_progress;
  tarnwick_progress_t last;
};

static int nested_calls;

static void nested_callback(const tarnwick_progress_t* p, void* user_data) {
  (void)p;
  (void)user_data;
  ++nested_calls;
}

static void try_nested_runs(struct watch* w) {
  tarnwick_config_t config;
  tarnwick_result_t r;
  const char* reason;
  tarnwick_handle_t* other = tarnwick_create();
  tarnwick_default_config(&config);
  config.warmup_seconds = 0.0;
  config.measure_seconds = 0.05;
  /* Same handle: its one attempt is taken. Another handle: the engine is busy. */
  w->nested_same_handle = tarnwick_run(w->handle, &config, nested_callback, NULL);
  w->nested_other_status = (uint32_t)tarnwick_run(other, &config, nested_callback, NULL);
  w->nested_calls = nested_calls;
  if (tarnwick_result(other, &r) == 1) {
    w->nested_other_threads = r.threads;
    reason = tarnwick_reason(other);
    w->nested_other_reason_ok = r.status == 2 && reason != NULL &&
                                strcmp(reason, "another benchmark is already running") == 0 &&
                                r.measure_seconds == 0.05;
  }
  tarnwick_free(other);
}

static void on_progress(const tarnwick_progress_t* p, void* user_data) {
  struct watch* w = (struct watch*)user_data;
  tarnwick_result_t r;
  tarnwick_sample_t s;
  if (w == NULL || w->reports >= MAX_REPORTS) return;
  if (!pthread_equal(pthread_self(), w->caller)) ++w->off_thread;
  if (w->reports == 0) {
    memset(&r, 0x33, sizeof r);
    memset(&s, 0x33, sizeof s);
    if (tarnwick_result(w->handle, &r) != 0 || r.status != 0x33333333u) ++w->queries_answered;
    if (tarnwick_sample(w->handle, 0, &s) != 0 || s.operations != 0x3333333333333333ULL) {
      ++w->queries_answered;
    }
    if (tarnwick_reason(w->handle) != NULL) ++w->queries_answered;
    try_nested_runs(w);
  }
  if (!(p->progress >= 0.0 && p->progress <= 1.0)) ++w->out_of_range;
  if (p->phase <= 2 && !(p->phase_elapsed <= p->phase_seconds)) ++w->out_of_range;
  if (p->progress < w->last_progress) ++w->progress_went_back;
  w->last_progress = p->progress;
  w->last = *p;
  ++w->reports;
}

static void completed_run_adds_up(void) {
  struct watch w;
  tarnwick_config_t config;
  tarnwick_result_t r, after;
  tarnwick_sample_t s, last, untouched, pattern;
  const char* reason;
  double sum_weighted = 0.0, prev_time = 0.0, mean, cv;
  uint64_t ops = 0, i;

  memset(&w, 0, sizeof w);
  memset(&last, 0, sizeof last);
  w.caller = pthread_self();
  w.handle = tarnwick_create();
  tarnwick_default_config(&config);
  config.warmup_seconds = 0.05;
  config.measure_seconds = 1.5; /* one monitor sample at 1 s, then the closing one */
  CHECK(tarnwick_run(w.handle, &config, on_progress, &w) == 0);

  /* While it ran. */
  CHECK(w.reports >= 2);
  CHECK(w.off_thread == 0);
  CHECK(w.out_of_range == 0);
  CHECK(w.progress_went_back == 0);
  CHECK(w.queries_answered == 0);
  CHECK(w.nested_same_handle == 2);
  CHECK(w.nested_other_status == 2);
  CHECK(w.nested_other_threads == 0);
  CHECK(w.nested_other_reason_ok);
  CHECK(w.nested_calls == 0);

  /* The result record. */
  CHECK(tarnwick_result(w.handle, &r) == 1);
  CHECK(r.abi_version == 1 && r.status == 0 && r.benchmark == 1 && r.threads == 1);
  CHECK(r.warmup_seconds == 0.05 && r.measure_seconds == 1.5);
  CHECK(r.measured_seconds >= r.measure_seconds);
  CHECK(r.operations > 0 && r.operations % 8 == 0);
  CHECK(r.mean_rate == (double)r.operations / r.measured_seconds);
  CHECK(r.sample_count >= 2);
  CHECK(r.has_cv == 1);
  reason = tarnwick_reason(w.handle);
  CHECK(reason != NULL && reason[0] == '\0');
  CHECK(tarnwick_reason(w.handle) == reason);

  /* The final report repeats the outcome. */
  CHECK(w.last.phase == TARNWICK_PHASE_COMPLETED);
  CHECK(w.last.progress == 1.0);
  CHECK(w.last.threads == 1);
  CHECK(w.last.operations == r.operations);
  CHECK(w.last.phase_elapsed == r.measured_seconds);

  /* The samples cover the window without gaps and add up to the total. */
  for (i = 0; i < r.sample_count; ++i) {
    CHECK(tarnwick_sample(w.handle, i, &s) == 1);
    CHECK(s.duration > 0.0);
    CHECK(fabs(s.time - s.duration - prev_time) < 1e-9);
    CHECK(s.rate == (double)s.operations / s.duration);
    if (i + 1 < r.sample_count) CHECK(s.time < r.measured_seconds);
    prev_time = s.time;
    ops += s.operations;
    last = s;
  }
  CHECK(prev_time == r.measured_seconds);
  CHECK(ops == r.operations);

  /* The coefficient of variation, recomputed from the samples. */
  mean = (double)r.operations / r.measured_seconds;
  for (i = 0; i < r.sample_count; ++i) {
    CHECK(tarnwick_sample(w.handle, i, &s) == 1);
    sum_weighted += s.duration * (s.rate - mean) * (s.rate - mean);
  }
  cv = sqrt(sum_weighted / r.measured_seconds) / mean * 100.0;
  CHECK(fabs(r.cv_percent - cv) <= 1e-9 * (cv > 1.0 ? cv : 1.0));
  CHECK(r.unstable == (r.cv_percent > 10.0 ? 1u : 0u));

  /* Sample bounds: the last index answers, the next ones do not. */
  CHECK(tarnwick_sample(w.handle, r.sample_count - 1, &s) == 1);
  CHECK(memcmp(&s, &last, sizeof s) == 0);
  memset(&pattern, 0x77, sizeof pattern);
  untouched = pattern;
  CHECK(tarnwick_sample(w.handle, r.sample_count, &untouched) == 0);
  CHECK(tarnwick_sample(w.handle, UINT64_MAX, &untouched) == 0);
  CHECK(memcmp(&untouched, &pattern, sizeof pattern) == 0);

  /* Nothing later changes what is stored. */
  nested_calls = 0;
  CHECK(tarnwick_run(w.handle, &config, nested_callback, NULL) == 2);
  CHECK(nested_calls == 0);
  tarnwick_cancel(w.handle);
  CHECK(tarnwick_result(w.handle, &after) == 1);
  CHECK(memcmp(&after, &r, sizeof r) == 0);
  CHECK(tarnwick_reason(w.handle) == reason);
  tarnwick_free(w.handle);
}

/* Without a callback the run proceeds as usual. */
static void run_without_callback(void) {
  tarnwick_config_t config;
  tarnwick_result_t r;
  tarnwick_handle_t* h = tarnwick_create();
  tarnwick_default_config(&config);
  config.warmup_seconds = 0.0;
  config.measure_seconds = 0.2;
  CHECK(tarnwick_run(h, &config, NULL, NULL) == 0);
  CHECK(tarnwick_result(h, &r) == 1);
  CHECK(r.status == 0 && r.sample_count == 1 && r.has_cv == 0 && r.cv_percent == 0.0);
  CHECK(r.mean_rate > 0.0);
  tarnwick_free(h);
}

int main(void) {
  RUN_CASE(completed_run_adds_up);
  RUN_CASE(run_without_callback);
  return check_report();
}
