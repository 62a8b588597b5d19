#include "execute.hpp"

#include <string>
#include <utility>

#include "boundary_reasons.hpp"

namespace tarnwick {

namespace {

// The host's callback must return normally. An exception leaving it belongs
// to the host, not to the library: it ends the process here instead of being
// taken for a fault of the run and silently dropped.
void call_host(tarnwick_progress_fn callback, const tarnwick_progress_t* record,
               void* user_data) noexcept {
  callback(record, user_data);
}

}  // namespace

tarnwick_progress_t to_progress_record(const Progress& progress) noexcept {
  tarnwick_progress_t record;
  record.phase = progress.phase;
  record.threads = progress.threads;
  record.progress = progress.progress;
  record.phase_elapsed = progress.phase_elapsed;
  record.phase_seconds = progress.phase_seconds;
  record.operations = progress.operations;
  return record;
}

Outcome execute(const RunFunction& run, const RunRequest& request,
                const std::shared_ptr<CancelFlag>& cancel_flag, tarnwick_progress_fn callback,
                void* user_data) noexcept {
  Outcome outcome;
  try {
    const ProgressCallback sink = [callback, user_data](const Progress& progress) {
      if (callback == nullptr) return;
      // Lives only for this one call, as the host is told.
      const tarnwick_progress_t record = to_progress_record(progress);
      call_host(callback, &record, user_data);
    };
    outcome =
        run(request.benchmark, request.durations, cancel_flag, sink, std::make_shared<System>());
  } catch (...) {
    // The fault's payload says nothing a host could use; the partial
    // outcome went with the unwinding.
    outcome = Outcome{};
    outcome.status = STATUS_FAILED;
    outcome.reason = std::string(reasons::NATIVE_PANICKED);
    outcome.benchmark = request.benchmark;
    outcome.threads = 0;
  }
  // The host's own doubles, never the converted durations.
  outcome.warmup_seconds = request.warmup_seconds;
  outcome.measure_seconds = request.measure_seconds;
  return outcome;
}

}  // namespace tarnwick
