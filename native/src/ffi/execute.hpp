#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "driver.hpp"
#include "outcome.hpp"
#include "runtime.hpp"
#include "tarnwick.h"
#include "validation.hpp"

namespace tarnwick {

// The shape of run_with; tests and fault injection substitute their own.
using RunFunction =
    std::function<Outcome(std::uint32_t, Durations, const std::shared_ptr<CancelFlag>&,
                          const ProgressCallback&, std::shared_ptr<Runtime>)>;

// Copies a driver report into the record the host's callback receives.
[[nodiscard]] tarnwick_progress_t to_progress_record(const Progress& progress) noexcept;

// Runs `run` on the calling thread with a fresh System, forwarding each
// report to `callback` (when not null) with `user_data`. Any exception that
// leaves `run` is contained: one line naming the thread and the exception's
// what() goes to standard error, the outcome is "native benchmark panicked"
// with no threads, and whatever the run had gathered is dropped. The result
// always carries the host's warm-up and measurement seconds.
[[nodiscard]] Outcome execute(const RunFunction& run, const RunRequest& request,
                              const std::shared_ptr<CancelFlag>& cancel_flag,
                              tarnwick_progress_fn callback, void* user_data) noexcept;

}  // namespace tarnwick
