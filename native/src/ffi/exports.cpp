// The six exports that need no run: version, defaults and the handle's life.
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

#include "handle.hpp"
#include "outcome.hpp"
#include "tarnwick.h"
#include "validation.hpp"

namespace tarnwick {
namespace {

// The record layout is a contract with hosts compiled separately.
static_assert(offsetof(tarnwick_config_t, benchmark) == 8);
static_assert(offsetof(tarnwick_config_t, warmup_seconds) == 16);
static_assert(offsetof(tarnwick_config_t, measure_seconds) == 24);
static_assert(offsetof(tarnwick_result_t, mean_rate) == 16);
static_assert(offsetof(tarnwick_result_t, cv_percent) == 48);
static_assert(offsetof(tarnwick_result_t, sample_count) == 72);
static_assert(offsetof(tarnwick_result_t, unstable) == 80);
static_assert(offsetof(tarnwick_result_t, has_cv) == 84);
static_assert(offsetof(tarnwick_sample_t, operations) == 16);
static_assert(offsetof(tarnwick_sample_t, rate) == 24);
static_assert(offsetof(tarnwick_progress_t, threads) == 4);
static_assert(offsetof(tarnwick_progress_t, progress) == 8);
static_assert(offsetof(tarnwick_progress_t, operations) == 32);
static_assert(alignof(tarnwick_result_t) == 8 && alignof(tarnwick_progress_t) == 8);
// The engine's samples are copied out to hosts as they are.
static_assert(sizeof(Sample) == sizeof(tarnwick_sample_t));
static_assert(offsetof(Sample, operations) == offsetof(tarnwick_sample_t, operations));
static_assert(offsetof(Sample, rate) == offsetof(tarnwick_sample_t, rate));
// The engine's statuses, phases and benchmark kind are the header's.
static_assert(STATUS_COMPLETED == TARNWICK_STATUS_COMPLETED);
static_assert(STATUS_CANCELLED == TARNWICK_STATUS_CANCELLED);
static_assert(STATUS_FAILED == TARNWICK_STATUS_FAILED);
static_assert(PHASE_WARMUP == TARNWICK_PHASE_WARMUP);
static_assert(PHASE_MEASUREMENT == TARNWICK_PHASE_MEASUREMENT);
static_assert(PHASE_COMPLETED == TARNWICK_PHASE_COMPLETED);
static_assert(PHASE_CANCELLED == TARNWICK_PHASE_CANCELLED);
static_assert(PHASE_FAILED == TARNWICK_PHASE_FAILED);
static_assert(BENCHMARK_SINGLE == TARNWICK_BENCHMARK_SINGLE);
// tarnwick_cancel promises a single store that is safe even in a signal handler.
static_assert(CancelFlag::is_always_lock_free);

// NUL-terminated for hosts, and one object so every call returns one pointer.
constexpr char VERSION_TEXT[] = TARNWICK_VERSION_STRING;

}  // namespace
}  // namespace tarnwick

extern "C" {

TARNWICK_API int32_t tarnwick_abi_version(void) noexcept { return TARNWICK_ABI_VERSION; }

TARNWICK_API const char* tarnwick_version(void) noexcept { return tarnwick::VERSION_TEXT; }

TARNWICK_API int32_t tarnwick_default_config(tarnwick_config_t* config) noexcept {
  if (config == nullptr) return 0;
  *config = tarnwick::DEFAULT_CONFIG;
  return 1;
}

TARNWICK_API tarnwick_handle_t* tarnwick_create(void) noexcept {
  // Whatever was built before a failure is released by its owner on unwind.
  try {
    auto flag = std::make_shared<tarnwick::CancelFlag>(false);
    return new tarnwick::Handle(std::move(flag));
  } catch (...) {
    return nullptr;
  }
}

TARNWICK_API void tarnwick_cancel(tarnwick_handle_t* handle) noexcept {
  if (handle == nullptr) return;
  // Nothing is handed over through the flag, so no ordering is needed.
  handle->cancel_flag->store(true, std::memory_order_relaxed);
}

TARNWICK_API void tarnwick_free(tarnwick_handle_t* handle) noexcept { delete handle; }

}  // extern "C"
