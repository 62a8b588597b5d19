/*
 * tarnwick: sustained CPU throughput, measured by a fixed deterministic kernel.
 *
 * The whole contract with hosts lives in this header: four records laid out
 * byte for byte, one callback type and ten functions with the C calling
 * convention. Hosts built against any language's FFI can rely on the offsets
 * and sizes asserted below.
 *
 * Threading at a glance:
 *   - tarnwick_run blocks the calling thread for the whole run; the progress
 *     callback is called only on that thread. A run is stopped by
 *     tarnwick_cancel, not by cancelling the thread (see tarnwick_run);
 *     a calling thread may be cancelled only with the deferred type.
 *   - tarnwick_cancel may be called from any thread (and from a signal
 *     handler: it is a single atomic store) at any time while the handle
 *     exists.
 *   - the queries (tarnwick_result, tarnwick_sample, tarnwick_reason) may be
 *     called from any thread at any time, also from inside the callback; they
 *     report nothing until the run has ended.
 *   - tarnwick_free is not synchronised: call it when no other call on the
 *     same handle is in progress, and never use the handle afterwards.
 *   - only one run may be in progress in the whole process at a time.
 */
#ifndef TARNWICK_H
#define TARNWICK_H

#include <stdint.h>

#include "tarnwick_version.h"

#if defined(__GNUC__)
#define TARNWICK_API __attribute__((visibility("default")))
#else
#define TARNWICK_API
#endif

#ifdef __cplusplus
#define TARNWICK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define TARNWICK_NOEXCEPT noexcept
extern "C" {
#else
#define TARNWICK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#define TARNWICK_NOEXCEPT
#endif

/*-*************************************
 *  Version
 ***************************************/
/* TARNWICK_VERSION_MAJOR, _MINOR, _PATCH and TARNWICK_VERSION_STRING come
 * from tarnwick_version.h, which sits beside this header in the source tree
 * and where it is installed. */
/*! Interface version: the `abi_version` a configuration record must carry. */
#define TARNWICK_ABI_VERSION 1

/*-*************************************
 *  Records
 ***************************************/
/*! Benchmark kinds for `tarnwick_config_t.benchmark`. */
#define TARNWICK_BENCHMARK_SINGLE 1   /**< one worker thread */
#define TARNWICK_BENCHMARK_ALL_CPUS 2 /**< one worker per CPU the process may use */

/*! Run statuses, as returned by tarnwick_run and kept in the result record. */
#define TARNWICK_STATUS_COMPLETED 0
#define TARNWICK_STATUS_CANCELLED 1
#define TARNWICK_STATUS_FAILED 2

/*! Phases reported to the progress callback. */
#define TARNWICK_PHASE_WARMUP 1
#define TARNWICK_PHASE_MEASUREMENT 2
#define TARNWICK_PHASE_COMPLETED 3
#define TARNWICK_PHASE_CANCELLED 4
#define TARNWICK_PHASE_FAILED 5

/*! Configuration (32 bytes). Start from tarnwick_default_config(); read once,
 *  at the start of tarnwick_run. */
typedef struct tarnwick_config_s {
  uint32_t abi_version;  /**< TARNWICK_ABI_VERSION; default 1 */
  uint32_t size;         /**< sizeof(tarnwick_config_t) as the host knows it; 32 */
  uint32_t benchmark;    /**< TARNWICK_BENCHMARK_SINGLE (default) or _ALL_CPUS */
  uint32_t reserved;     /**< must be 0 */
  double warmup_seconds; /**< warm-up, s; >= 0 (-0.0 counts as 0), < 2^64; default 120.0 */
  /** Measurement window, s; > 0 and < 2^64; default 60.0. Values under half
   *  a nanosecond round to an empty window, which the run refuses. */
  double measure_seconds;
} tarnwick_config_t;

/*! Result of a finished run attempt (88 bytes), filled by tarnwick_result. */
typedef struct tarnwick_result_s {
  uint32_t abi_version; /**< always 1 */
  uint32_t status;      /**< 0 completed, 1 cancelled, 2 failed */
  uint32_t benchmark;   /**< benchmark kind of the attempt */
  uint32_t threads;     /**< workers; 0 when the attempt ended before that was decided */
  double mean_rate;     /**< steps/s over the measured window when status is 0, else 0.0 */
  /** The host's configured warm-up, s, bit for bit; 120.0 when `config` was
   *  NULL or incompatible (its fields are not trusted then). */
  double warmup_seconds;
  /** The host's configured window, s, bit for bit; 60.0 when `config` was
   *  NULL or incompatible. */
  double measure_seconds;
  double measured_seconds; /**< actual length of the measured window, s */
  /** Duration-weighted coefficient of variation of the sample rates, %;
   *  valid when has_cv is 1, else 0.0. */
  double cv_percent;
  uint64_t operations;   /**< kernel steps completed in the measured window, all workers */
  uint64_t checksum;     /**< exclusive-or of the workers' last kernel values */
  uint64_t sample_count; /**< number of samples; read them with tarnwick_sample */
  uint32_t unstable;     /**< 1 when cv_percent is above 10 %, else 0 */
  uint32_t has_cv;       /**< 1 when cv_percent is present (completed with >= 2 samples) */
} tarnwick_result_t;

/*! One sample of the measured window (32 bytes). Samples are contiguous:
 *  the first starts at 0, each later one where the previous one ended. */
typedef struct tarnwick_sample_s {
  double time;         /**< end of the interval, s after the end of the warm-up */
  double duration;     /**< length of the interval, s; always > 0 */
  uint64_t operations; /**< kernel steps completed in the interval, all workers */
  double rate;         /**< operations / duration, steps/s */
} tarnwick_sample_t;

/*! Progress report (40 bytes), valid only during one callback call. */
typedef struct tarnwick_progress_s {
  /** TARNWICK_PHASE_*: 1 warm-up, 2 measurement; the final report has 3
   *  completed, 4 cancelled or 5 failed. */
  uint32_t phase;
  uint32_t threads; /**< number of workers */
  double progress;  /**< fraction of warm-up plus measurement elapsed, 0.0 to 1.0 */
  /** s elapsed in the phase (at most its length); final report: measured_seconds */
  double phase_elapsed;
  double phase_seconds; /**< length of the phase, s; final report: the window's length */
  /** Steps so far in the phase, all workers; final report: the run's operations. */
  uint64_t operations;
} tarnwick_progress_t;

/*! Progress callback: called on the thread that called tarnwick_run, with a
 *  record that lives only until it returns. It must return normally (an
 *  exception leaving it terminates the process; a longjmp out of it is not
 *  allowed). It may call tarnwick_cancel and the queries; it cannot stop the
 *  run by itself. */
typedef void (*tarnwick_progress_fn)(const tarnwick_progress_t* progress, void* user_data);

TARNWICK_STATIC_ASSERT(sizeof(tarnwick_config_t) == 32, "config record is 32 bytes");
TARNWICK_STATIC_ASSERT(sizeof(tarnwick_result_t) == 88, "result record is 88 bytes");
TARNWICK_STATIC_ASSERT(sizeof(tarnwick_sample_t) == 32, "sample record is 32 bytes");
TARNWICK_STATIC_ASSERT(sizeof(tarnwick_progress_t) == 40, "progress record is 40 bytes");

/*-*************************************
 *  Handle
 ***************************************/
/*! Opaque handle: carries exactly one run attempt and, afterwards, its result. */
typedef struct tarnwick_handle tarnwick_handle_t;

/*! tarnwick_abi_version() :
 *  @return : the interface version of the loaded library (1); compare it with
 *            TARNWICK_ABI_VERSION. */
TARNWICK_API int32_t tarnwick_abi_version(void) TARNWICK_NOEXCEPT;

/*! tarnwick_version() :
 *  @return : the static text of the library's version, "MAJOR.MINOR.PATCH"
 *            (TARNWICK_VERSION_STRING of the header it was built with); the
 *            same pointer on every call, valid while the library is loaded.
 *            Never free or modify it. */
TARNWICK_API const char* tarnwick_version(void) TARNWICK_NOEXCEPT;

/*! tarnwick_default_config() : writes all 32 bytes of the default record
 *  (abi 1, size 32, benchmark 1, reserved 0, warm-up 120 s, window 60 s).
 *  @return : 1 when written; 0 when `config` is NULL. */
TARNWICK_API int32_t tarnwick_default_config(tarnwick_config_t* config) TARNWICK_NOEXCEPT;

/*! tarnwick_create() : a new handle, ready for one run attempt.
 *  @return : the handle, or NULL when none could be created (nothing leaks). */
TARNWICK_API tarnwick_handle_t* tarnwick_create(void) TARNWICK_NOEXCEPT;

/*! tarnwick_cancel() : requests cancellation of the handle's run, before or
 *  during it; after the run it changes nothing. A single atomic store: safe
 *  from any thread, from the callback and from a signal handler. Never
 *  waits. Accepts NULL (does nothing). */
TARNWICK_API void tarnwick_cancel(tarnwick_handle_t* handle) TARNWICK_NOEXCEPT;

/*! tarnwick_free() : releases the handle and everything it stores, including
 *  the reason text. Not synchronised: no other call on this handle may be in
 *  progress. Accepts NULL (does nothing). */
TARNWICK_API void tarnwick_free(tarnwick_handle_t* handle) TARNWICK_NOEXCEPT;

/*-*************************************
 *  Run
 ***************************************/
/*! tarnwick_run() : runs one benchmark on the calling thread and blocks until
 *  it has ended. A handle accepts one attempt in its life; only one run may
 *  be in progress in the process at a time. `config` is copied at the start.
 *  `callback` (may be NULL) receives progress reports on this thread, with
 *  `user_data` passed back unchanged (never dereferenced).
 *  The way to stop a run is tarnwick_cancel. Thread cancellation
 *  (pthread_cancel) is disabled for the whole call, the callback included,
 *  and the caller's state is restored on return: a cancel request waits out
 *  the run and acts at the caller's next cancellation point after the call.
 *  This holds for the deferred cancellation type only (the default): with
 *  PTHREAD_CANCEL_ASYNCHRONOUS, POSIX leaves calling this function (or any
 *  other that is not async-cancel-safe) undefined, and a request may act
 *  inside the library, even while the caller's state is restored.
 *  @return : 0 completed, 1 cancelled, 2 failed or rejected (the reason is
 *            stored, also when memory ran out: no allocation failure ends
 *            the process); also 2, storing nothing, when `handle` is NULL or
 *            its attempt was already claimed. */
TARNWICK_API int32_t tarnwick_run(tarnwick_handle_t* handle, const tarnwick_config_t* config,
                                  tarnwick_progress_fn callback, void* user_data) TARNWICK_NOEXCEPT;

/*-*************************************
 *  Results
 ***************************************/
/*! tarnwick_result() : copies the result of the finished attempt into `out`.
 *  @return : 1 when written; 0 (leaving `out` untouched) when `handle` or
 *            `out` is NULL or the attempt has not ended yet. */
TARNWICK_API int32_t tarnwick_result(tarnwick_handle_t* handle,
                                     tarnwick_result_t* out) TARNWICK_NOEXCEPT;

/*! tarnwick_sample() : copies sample `index` (0 to sample_count - 1) of the
 *  finished attempt into `out`.
 *  @return : 1 when written; otherwise 0, leaving `out` untouched. */
TARNWICK_API int32_t tarnwick_sample(tarnwick_handle_t* handle, uint64_t index,
                                     tarnwick_sample_t* out) TARNWICK_NOEXCEPT;

/*! tarnwick_reason() :
 *  @return : why the attempt did not complete ("" after a completed run), as
 *            a NUL-terminated text owned by the handle, the same pointer on
 *            every call until tarnwick_free; NULL when `handle` is NULL or the
 *            attempt has not ended yet. */
TARNWICK_API const char* tarnwick_reason(tarnwick_handle_t* handle) TARNWICK_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNWICK_H */
