#include "driver.hpp"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "counters.hpp"
#include "ready_channel.hpp"
#include "reasons.hpp"
#include "start_gate.hpp"
#include "stats.hpp"
#include "timing_cell.hpp"
#include "worker.hpp"
#include "worker_context.hpp"
#include "workers.hpp"

namespace tarnwick {

std::atomic<bool> ACTIVE{false};

namespace {

constexpr std::uint32_t MONITOR_PERIOD_NANOS = 10'000'000;
constexpr std::uint32_t REPORT_PERIOD_NANOS = 100'000'000;

// Clears ACTIVE on every exit after it was taken, unwinding included.
class ActiveGuard {
 public:
  ActiveGuard() = default;
  ActiveGuard(const ActiveGuard&) = delete;
  ActiveGuard& operator=(const ActiveGuard&) = delete;
  ~ActiveGuard() { ACTIVE.store(false); }
};

bool at_least(Duration d, std::uint32_t nanos) { return d.secs > 0 || d.nanos >= nanos; }

// Sleeps for `d`, resuming with the time left whenever a signal interrupts.
void sleep_for(Duration d) {
  if (d.is_zero()) return;
  timespec left{static_cast<time_t>(d.secs), static_cast<long>(d.nanos)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// `part` / `whole`, capped at 1.0; a quotient that is not a number counts as 1.0.
double capped_fraction(double part, double whole) {
  const double fraction = part / whole;
  return fraction <= 1.0 ? fraction : 1.0;
}

std::string with_prefix(std::string_view prefix, const std::string& text) {
  std::string reason(prefix);
  reason += text;
  return reason;
}

struct RunRecords {
  std::vector<std::shared_ptr<Counters>> counters;
  std::shared_ptr<TimingCell> timing_cell = std::make_shared<TimingCell>();
  std::shared_ptr<StartGate> start_gate = std::make_shared<StartGate>();
  std::shared_ptr<StopFlag> stop_flag = std::make_shared<StopFlag>(false);

  explicit RunRecords(std::size_t threads) {
    counters.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) counters.push_back(std::make_shared<Counters>());
  }

  [[nodiscard]] std::uint64_t phase_sum(std::size_t phase) const {
    std::uint64_t sum = 0;
    for (const auto& c : counters) sum += c->phase_ops[phase].load(std::memory_order_relaxed);
    return sum;
  }
};

// Watches the running workers until the window ends or a cancellation is
// seen: samples once per second of the window, reports progress.
void monitor(Outcome& outcome, const Timing& timing, const RunRecords& records,
             const CancelFlag& cancel_flag, const ProgressCallback& progress_callback) {
  const double planned = outcome.warmup_seconds + outcome.measure_seconds;
  double last_sample_time = 0.0;
  std::uint64_t last_sample_ops = 0;
  std::optional<std::uint32_t> last_report_phase;
  Instant last_report_instant = timing.start;
  for (;;) {
    const Instant at = now();
    const bool warming = at < timing.warm_end;
    const std::uint32_t phase = warming ? PHASE_WARMUP : PHASE_MEASUREMENT;
    const Instant phase_start = warming ? timing.start : timing.warm_end;
    const double phase_seconds = warming ? outcome.warmup_seconds : outcome.measure_seconds;
    const std::uint64_t ops = records.phase_sum(warming ? WARMUP_INDEX : MEASURED_INDEX);

    if (!warming) {
      const double elapsed = saturating_since(at, timing.warm_end).as_seconds();
      // Written so that a difference that is not a number takes no sample.
      if (elapsed - last_sample_time >= 1.0 && at < timing.end) {
        append_sample(outcome.samples, ops, last_sample_time, last_sample_ops, elapsed);
      }
    }

    if (phase != last_report_phase ||
        at_least(saturating_since(at, last_report_instant), REPORT_PERIOD_NANOS)) {
      Progress report;
      report.progress = capped_fraction(saturating_since(at, timing.start).as_seconds(), planned);
      report.phase_elapsed =
          std::min(saturating_since(at, phase_start).as_seconds(), phase_seconds);
      report.phase_seconds = phase_seconds;
      report.operations = ops;
      report.threads = outcome.threads;
      report.phase = phase;
      progress_callback(report);
      last_report_instant = at;
      last_report_phase = phase;
    }

    if (cancel_flag.load(std::memory_order_relaxed)) return;
    if (at >= timing.end) return;
    const Duration left = saturating_since(timing.end, now());
    sleep_for(at_least(left, MONITOR_PERIOD_NANOS) ? Duration{0, MONITOR_PERIOD_NANOS} : left);
  }
}

// Called only after every worker was joined, which orders their last stores
// before these loads.
void aggregate(Outcome& outcome, const RunRecords& records) {
  std::uint64_t max_nanos = 0;
  for (const auto& c : records.counters) {
    outcome.operations += c->measured_ops().load(std::memory_order_relaxed);
    max_nanos = std::max(max_nanos, c->measured_nanos.load(std::memory_order_relaxed));
    outcome.checksum ^= c->checksum.load(std::memory_order_relaxed);
  }
  outcome.measured_seconds = nanos_as_seconds(max_nanos);
}

Progress final_report(const Outcome& outcome, Instant start) {
  Progress last;
  last.phase = outcome.status == STATUS_COMPLETED   ? PHASE_COMPLETED
               : outcome.status == STATUS_CANCELLED ? PHASE_CANCELLED
                                                    : PHASE_FAILED;
  last.progress = outcome.status == STATUS_COMPLETED
                      ? 1.0
                      : capped_fraction(saturating_since(now(), start).as_seconds(),
                                        outcome.warmup_seconds + outcome.measure_seconds);
  last.phase_elapsed = outcome.measured_seconds;
  last.phase_seconds = outcome.measure_seconds;
  last.operations = outcome.operations;
  last.threads = outcome.threads;
  return last;
}

}  // namespace

Outcome run_with(std::uint32_t benchmark, Durations durations,
                 const std::shared_ptr<CancelFlag>& cancel_flag,
                 const ProgressCallback& progress_callback, std::shared_ptr<Runtime> runtime) {
  Outcome outcome;
  outcome.warmup_seconds = durations.warmup.as_seconds();
  outcome.measure_seconds = durations.measure.as_seconds();
  outcome.benchmark = benchmark;

  if (durations.measure.is_zero()) {
    outcome.reason = reasons::MEASURE_NOT_POSITIVE;
    return outcome;
  }
  if (bool idle = false; !ACTIVE.compare_exchange_strong(idle, true)) {
    outcome.reason = reasons::ALREADY_RUNNING;
    return outcome;
  }
  const ActiveGuard active_guard;

  std::size_t threads = 1;
  if (benchmark != BENCHMARK_SINGLE) {
    auto cpus = runtime->available_cpus();
    if (!cpus) {
      outcome.reason = with_prefix(reasons::NO_CPU_COUNT, cpus.error().text);
      return outcome;
    }
    threads = cpus.value();
  }
  outcome.threads = static_cast<std::uint32_t>(threads);
  if (cancel_flag->load(std::memory_order_relaxed)) {
    outcome.status = STATUS_CANCELLED;
    outcome.reason = reasons::CANCELLED_BEFORE_START;
    return outcome;
  }

  const RunRecords records(threads);
  ReadyChannel channel = make_ready_channel();
  // From here every exit, early return or unwinding, passes through the
  // destruction of `workers`: stop flag, open gate, join.
  Workers workers(records.stop_flag, records.start_gate, threads);
  for (std::size_t index = 0; index < threads; ++index) {
    WorkerContext context{
        channel.sender.clone(), runtime,     records.start_gate,      records.stop_flag,
        records.timing_cell,    cancel_flag, records.counters[index], index};
    auto spawned = runtime->spawn(
        index, Task([context = std::move(context)]() mutable { worker_main(std::move(context)); }));
    if (!spawned) {
      outcome.reason = with_prefix(reasons::CANNOT_START_WORKER, spawned.error().text);
      return outcome;
    }
    workers.push(std::move(spawned).value());
  }
  channel.sender.close();

  for (std::size_t ready = 0; ready < threads; ++ready) {
    const Received received = channel.receiver.receive();
    if (!received || !received.value()) {
      outcome.reason = with_prefix(reasons::WORKER_INIT_FAILED, render_received(received));
      return outcome;
    }
  }

  const Instant start = now();
  const std::optional<Instant> warm_end = checked_add(start, durations.warmup);
  const std::optional<Instant> end =
      warm_end ? checked_add(*warm_end, durations.measure) : std::nullopt;
  if (!end) {
    outcome.reason = reasons::CLOCK_RANGE;
    return outcome;
  }
  const Timing timing{start, *warm_end, *end};
  records.timing_cell->set(timing);
  records.start_gate->release();

  monitor(outcome, timing, records, *cancel_flag, progress_callback);

  records.stop_flag->store(true, std::memory_order_relaxed);
  bool panicked = false;
  for (auto& handle : workers.take_handles()) {
    if (!handle->join()) panicked = true;
  }
  aggregate(outcome, records);
  finish_samples(outcome);
  finish_result(outcome, panicked, cancel_flag->load(std::memory_order_relaxed));
  progress_callback(final_report(outcome, start));
  return outcome;
}

}  // namespace tarnwick
