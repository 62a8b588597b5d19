/* Cancellation and the one-run-per-process rule, driven from other host
 * threads. Threads wait on conditions, never on fixed sleeps. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdint.h>
#include <string.h>

#include "check.h"
#include "tarnwick.h"

/* What the callback has seen, shared with the helper thread. */
struct shared {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  pthread_t caller;
  tarnwick_handle_t* handle;
  double cancel_at_elapsed; /* cancel once a measurement report shows this */
  uint32_t cancel_in_phase;
  int ready_to_cancel;
  int reports;
  int off_thread;
  tarnwick_progress_t last;
  /* Filled by the helper thread. */
  int32_t other_status;
  tarnwick_result_t other_result;
  int other_reason_ok;
  int other_callback_calls;
};

static void other_callback(const tarnwick_progress_t* p, void* user_data) {
  struct shared* s = (struct shared*)user_data;
  (void)p;
  ++s->other_callback_calls; /* only ever from the helper thread */
}

static void on_progress(const tarnwick_progress_t* p, void* user_data) {
  struct shared* s = (struct shared*)user_data;
  pthread_mutex_lock(&s->mutex);
  if (!pthread_equal(pthread_self(), s->caller)) ++s->off_thread;
  ++s->reports;
  s->last = *p;
  if (p->phase == s->cancel_in_phase && p->phase_elapsed >= s->cancel_at_elapsed) {
    s->ready_to_cancel = 1;
    pthread_cond_broadcast(&s->changed);
  }
  pthread_mutex_unlock(&s->mutex);
}

/* Waits until the run is where the case wants it, tries a run of its own on
 * another handle, then cancels the first run. */
static void* helper(void* arg) {
  struct shared* s = (struct shared*)arg;
  tarnwick_config_t config;
  const char* reason;
  tarnwick_handle_t* other = tarnwick_create();
  pthread_mutex_lock(&s->mutex);
  while (!s->ready_to_cancel) pthread_cond_wait(&s->changed, &s->mutex);
  pthread_mutex_unlock(&s->mutex);

  tarnwick_default_config(&config);
  config.warmup_seconds = 0.0;
  config.measure_seconds = 0.05;
  s->other_status = tarnwick_run(other, &config, other_callback, s);
  tarnwick_result(other, &s->other_result);
  reason = tarnwick_reason(other);
  s->other_reason_ok =
      reason != NULL && strcmp(reason, "another benchmark is already running") == 0;
  tarnwick_free(other);

  tarnwick_cancel(s->handle);
  return NULL;
}

static void run_and_cancel(struct shared* s, double warmup, double measure) {
  tarnwick_config_t config;
  pthread_t thread;
  memset(&s->last, 0, sizeof s->last);
  pthread_mutex_init(&s->mutex, NULL);
  pthread_cond_init(&s->changed, NULL);
  s->caller = pthread_self();
  s->handle = tarnwick_create();
  tarnwick_default_config(&config);
  config.warmup_seconds = warmup;
  config.measure_seconds = measure;
  CHECK(pthread_create(&thread, NULL, helper, s) == 0);
  CHECK(tarnwick_run(s->handle, &config, on_progress, s) == 1);
  pthread_join(thread, NULL);
  pthread_cond_destroy(&s->changed);
  pthread_mutex_destroy(&s->mutex);
}

static void check_refused_other_run(const struct shared* s) {
  CHECK(s->other_status == 2);
  CHECK(s->other_result.status == 2);
  CHECK(s->other_result.threads == 0);
  CHECK(s->other_result.measure_seconds == 0.05);
  CHECK(s->other_reason_ok);
  CHECK(s->other_callback_calls == 0);
}

static void cancel_during_warmup(void) {
  struct shared s;
  tarnwick_result_t r;
  memset(&s, 0, sizeof s);
  s.cancel_in_phase = TARNWICK_PHASE_WARMUP;
  run_and_cancel(&s, 60.0, 60.0);
  check_refused_other_run(&s);
  CHECK(s.off_thread == 0);
  CHECK(s.last.phase == TARNWICK_PHASE_CANCELLED);
  CHECK(tarnwick_result(s.handle, &r) == 1);
  CHECK(r.status == 1 && r.threads == 1);
  CHECK(r.sample_count == 0 && r.measured_seconds == 0.0);
  CHECK(r.mean_rate == 0.0 && r.has_cv == 0);
  CHECK(r.warmup_seconds == 60.0 && r.measure_seconds == 60.0);
  CHECK_STR(tarnwick_reason(s.handle), "cancelled");
  tarnwick_free(s.handle);
}

/* Cancelled after a monitor sample: the samples stay and still add up. */
static void cancel_during_measurement_keeps_samples(void) {
  struct shared s;
  tarnwick_result_t r;
  tarnwick_sample_t sample;
  uint64_t i, ops = 0;
  double end = 0.0;
  memset(&s, 0, sizeof s);
  s.cancel_in_phase = TARNWICK_PHASE_MEASUREMENT;
  s.cancel_at_elapsed = 1.1;
  run_and_cancel(&s, 0.0, 60.0);
  check_refused_other_run(&s);
  CHECK(s.off_thread == 0);
  CHECK(tarnwick_result(s.handle, &r) == 1);
  CHECK(r.status == 1);
  CHECK(r.mean_rate == 0.0 && r.has_cv == 0);
  CHECK(r.measured_seconds >= 1.1 && r.measured_seconds < 60.0);
  CHECK(r.sample_count >= 2);
  for (i = 0; i < r.sample_count; ++i) {
    CHECK(tarnwick_sample(s.handle, i, &sample) == 1);
    ops += sample.operations;
    end = sample.time;
  }
  CHECK(ops == r.operations);
  CHECK(end == r.measured_seconds);
  CHECK(s.last.phase == TARNWICK_PHASE_CANCELLED);
  CHECK(s.last.operations == r.operations);
  CHECK_STR(tarnwick_reason(s.handle), "cancelled");
  tarnwick_free(s.handle);
}

/* Runs after the cancelled runs above, so it also shows that the engine
 * admits a new run once they have returned. */
static void cancel_before_run(void) {
  tarnwick_config_t config;
  tarnwick_result_t r;
  struct shared s;
  tarnwick_handle_t* h = tarnwick_create();
  memset(&s, 0, sizeof s);
  tarnwick_default_config(&config);
  tarnwick_cancel(h);
  tarnwick_cancel(h);
  CHECK(tarnwick_run(h, &config, other_callback, &s) == 1);
  CHECK(s.other_callback_calls == 0);
  CHECK(tarnwick_result(h, &r) == 1);
  CHECK(r.status == 1 && r.threads == 1 && r.sample_count == 0 && r.operations == 0);
  CHECK(r.warmup_seconds == 120.0 && r.measure_seconds == 60.0);
  CHECK_STR(tarnwick_reason(h), "cancelled before starting");
  tarnwick_free(h);
}

/* A host that cancels the thread blocked in tarnwick_run (a pool shutting
 * down): the run is not cut short, the cancel acts once the call has
 * returned, and the process and the library carry on. */
struct cancelled_host {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  int running;
  int returned; /* set after tarnwick_run, before the next cancellation point */
  int32_t status;
  tarnwick_result_t result;
};

static void signal_running(const tarnwick_progress_t* p, void* user_data) {
  struct cancelled_host* h = (struct cancelled_host*)user_data;
  (void)p;
  pthread_mutex_lock(&h->mutex);
  h->running = 1;
  pthread_cond_broadcast(&h->changed);
  pthread_mutex_unlock(&h->mutex);
}

/* Not inlined: its frame has returned when the cancel unwinds the thread
 * (AddressSanitizer cannot see a forced unwind clear a frame's guards). */
__attribute__((noinline)) static void run_in_host_thread(struct cancelled_host* h) {
  tarnwick_config_t config;
  tarnwick_handle_t* handle = tarnwick_create();
  tarnwick_default_config(&config);
  config.warmup_seconds = 0.0;
  config.measure_seconds = 0.3;
  h->status = tarnwick_run(handle, &config, signal_running, h);
  tarnwick_result(handle, &h->result);
  tarnwick_free(handle);
  h->returned = 1;
}

static void* cancellable_runner(void* arg) {
  run_in_host_thread((struct cancelled_host*)arg);
  pthread_testcancel();
  return NULL;
}

static void thread_cancel_waits_for_the_run(void) {
  struct cancelled_host h;
  pthread_t thread;
  void* exit_value = NULL;
  int previous = -1;
  tarnwick_config_t config;
  tarnwick_handle_t* again = tarnwick_create();
  memset(&h, 0, sizeof h);
  pthread_mutex_init(&h.mutex, NULL);
  pthread_cond_init(&h.changed, NULL);
  CHECK(pthread_create(&thread, NULL, cancellable_runner, &h) == 0);
  pthread_mutex_lock(&h.mutex);
  while (!h.running) pthread_cond_wait(&h.changed, &h.mutex);
  pthread_mutex_unlock(&h.mutex);
  CHECK(pthread_cancel(thread) == 0);
  CHECK(pthread_join(thread, &exit_value) == 0);
  CHECK(exit_value == PTHREAD_CANCELED);
  CHECK(h.returned == 1);
  CHECK(h.status == 0 && h.result.status == 0);
  CHECK(h.result.measured_seconds >= 0.3);

  /* The library runs again, and a caller's disabled state stays disabled. */
  tarnwick_default_config(&config);
  config.warmup_seconds = 0.0;
  config.measure_seconds = 0.05;
  CHECK(pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, NULL) == 0);
  CHECK(tarnwick_run(again, &config, NULL, NULL) == 0);
  CHECK(pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous) == 0);
  CHECK(previous == PTHREAD_CANCEL_DISABLE);
  tarnwick_free(again);
  pthread_cond_destroy(&h.changed);
  pthread_mutex_destroy(&h.mutex);
}

int main(void) {
  RUN_CASE(thread_cancel_waits_for_the_run);
  RUN_CASE(cancel_during_warmup);
  RUN_CASE(cancel_during_measurement_keeps_samples);
  RUN_CASE(cancel_before_run);
  return check_report();
}
