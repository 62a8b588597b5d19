#include "execute.hpp"

#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <iterator>
#include <string>
#include <utility>

#include "reasons.hpp"

namespace tarnwick {

namespace {

// The host's callback must return normally. An exception leaving it belongs
// to the host, not to the library: it ends the process here instead of being
// taken for a fault of the run and silently dropped.
void call_host(tarnwick_progress_fn callback, const tarnwick_progress_t* record,
               void* user_data) noexcept {
  callback(record, user_data);
}

// One line on standard error naming the thread and what was caught, as a
// worker's fault is reported. Nothing here allocates: the fault may be an
// allocation failure. A single writev keeps the line whole among others.
void report_contained_fault(const char* what) noexcept {
  char name[16] = "?";
  static_cast<void>(pthread_getname_np(pthread_self(), name, sizeof name));
  constexpr char PLACE[] = ": tarnwick_run: ";
  iovec parts[] = {
      {name, std::strlen(name)},
      {const_cast<char*>(PLACE), sizeof PLACE - 1},
      {const_cast<char*>(what), std::strlen(what)},
      {const_cast<char*>("\n"), 1},
  };
  // Nothing to do about a diagnostic that cannot be written.
  const ssize_t written = ::writev(STDERR_FILENO, parts, static_cast<int>(std::size(parts)));
  static_cast<void>(written);
}

// Names the exception being handled; called only inside a catch block.
void report_current_fault() noexcept {
  try {
    throw;
  } catch (const std::exception& fault) {
    report_contained_fault(fault.what());
  } catch (...) {
    report_contained_fault("unknown fault");
  }
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
  // The reason of a contained fault is made before the run, so that
  // containing an allocation failure allocates nothing.
  std::string panic_reason;
  try {
    panic_reason = reasons::NATIVE_PANICKED;
    const ProgressCallback sink = [callback, user_data](const Progress& progress) {
      if (callback == nullptr) return;
      // Lives only for this one call, as the host is told.
      const tarnwick_progress_t record = to_progress_record(progress);
      call_host(callback, &record, user_data);
    };
    outcome =
        run(request.benchmark, request.durations, cancel_flag, sink, std::make_shared<System>());
  } catch (...) {
    // The fault's payload says nothing a host could use, but a developer
    // reading standard error needs it; the partial outcome went with the
    // unwinding.
    report_current_fault();
    outcome = Outcome{};
    outcome.status = STATUS_FAILED;
    outcome.reason = std::move(panic_reason);
    // Empty only when the memory for it could not be had, and then no run
    // started: say so in a text short enough to need no allocation.
    if (outcome.reason.empty()) outcome.reason = reasons::OUT_OF_MEMORY;
    outcome.benchmark = request.benchmark;
    outcome.threads = 0;
  }
  // The host's own doubles, never the converted durations.
  outcome.warmup_seconds = request.warmup_seconds;
  outcome.measure_seconds = request.measure_seconds;
  return outcome;
}

}  // namespace tarnwick
