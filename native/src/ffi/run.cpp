// tarnwick_run: claim, validate, run under fault containment, store.
#include <pthread.h>

#include <mutex>
#include <string>
#include <utility>

#include "execute.hpp"
#include "handle.hpp"
#include "reasons.hpp"
#include "tarnwick.h"
#include "validation.hpp"

namespace {
// A null or already claimed handle: refused, and nothing is stored.
constexpr int32_t REFUSED = 2;

// Keeps a host's pthread_cancel out of the run: the driver's sleeps and waits
// are cancellation points, and the forced unwind they would start cannot pass
// the noexcept boundary. The caller's own state comes back on every return,
// so a pending request acts at its next cancellation point after the call.
class CancellationDisabled {
 public:
  CancellationDisabled() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
  CancellationDisabled(const CancellationDisabled&) = delete;
  CancellationDisabled& operator=(const CancellationDisabled&) = delete;
  ~CancellationDisabled() { pthread_setcancelstate(previous_, nullptr); }

 private:
  int previous_ = PTHREAD_CANCEL_ENABLE;
};

// A failed attempt whose reason needs no allocation.
tarnwick::Outcome out_of_memory() noexcept {
  static_assert(tarnwick::reasons::OUT_OF_MEMORY.size() <= std::string().capacity(),
                "the out-of-memory reason fits a string's own buffer");
  tarnwick::Outcome outcome;
  outcome.status = tarnwick::STATUS_FAILED;
  outcome.benchmark = tarnwick::DEFAULT_CONFIG.benchmark;
  outcome.warmup_seconds = tarnwick::DEFAULT_CONFIG.warmup_seconds;
  outcome.measure_seconds = tarnwick::DEFAULT_CONFIG.measure_seconds;
  outcome.reason = tarnwick::reasons::OUT_OF_MEMORY;
  return outcome;
}
}  // namespace

extern "C" TARNWICK_API int32_t tarnwick_run(tarnwick_handle_t* handle,
                                             const tarnwick_config_t* config,
                                             tarnwick_progress_fn callback,
                                             void* user_data) noexcept {
  using namespace tarnwick;
  const CancellationDisabled no_thread_cancel;
  if (handle == nullptr) return REFUSED;
  // One attempt per handle, ever: the claim is never given back, so a later
  // call cannot disturb what this one stores.
  if (handle->started.exchange(true)) return REFUSED;

  Outcome outcome;
  try {
    Result<RunRequest, Outcome> checked = validate(config);
    outcome = checked ? execute(run_with, checked.value(), handle->cancel_flag, callback, user_data)
                      : std::move(checked).error();
  } catch (...) {
    // Only a rejection's reason text can fail here (execute contains
    // everything); the attempt still ends with a stored failure.
    outcome = out_of_memory();
  }
  // Storing moves the outcome and allocates nothing.
  Stored stored = make_stored(std::move(outcome));
  const auto status = static_cast<int32_t>(stored.outcome.status);
  {
    const std::lock_guard lock(handle->stored.mutex);
    handle->stored.value.emplace(std::move(stored));
  }
  return status;
}
