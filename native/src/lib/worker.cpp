#include "worker.hpp"

#include <atomic>
#include <stdexcept>
#include <utility>

#include "clock.hpp"

namespace tarnwick {

void worker_main(WorkerContext context) {
  Result<Kernel, std::string> built = context.runtime->kernel(context.worker_index);
  {
    ReadySender sender = std::move(context.ready_sender);
    ReadyMessage message = built ? ReadyMessage::ok({}) : ReadyMessage::err(built.error());
    // A driver that no longer listens has given up on the run; carry on to
    // the gate, where the stop flag ends this worker.
    static_cast<void>(sender.send(std::move(message)));
  }  // The sender is gone before the wait, so a driver counting reports
     // never waits on a worker that cannot report any more.
  if (!built) return;
  Kernel& kernel = built.value();

  context.start_gate->wait();
  if (context.stop_flag->load(std::memory_order_relaxed)) return;

  const std::optional<Timing> timing = context.timing_cell->get();
  if (!timing) throw std::logic_error("the start gate opened without the run's timing");
  const Instant warm_end = timing->warm_end;
  const Instant end = timing->end;

  const StopFlag& stop = *context.stop_flag;
  const CancelFlag& cancel = *context.cancel_flag;
  Counters& counters = *context.counters;
  std::uint64_t checksum = 0;
  // Nothing in here locks, allocates or calls the system but for the clock.
  for (;;) {
    const Instant at = now();
    if (stop.load(std::memory_order_relaxed)) break;
    if (cancel.load(std::memory_order_relaxed)) break;
    if (at >= end) break;
    const std::size_t phase = at < warm_end ? WARMUP_INDEX : MEASURED_INDEX;
    for (std::uint64_t i = 0; i < STEPS_PER_BATCH; ++i) checksum = kernel.step();
    counters.phase_ops[phase].fetch_add(STEPS_PER_BATCH, std::memory_order_relaxed);
  }

  counters.measured_nanos.store(saturating_nanos(saturating_since(now(), warm_end)),
                                std::memory_order_relaxed);
  counters.checksum.store(checksum, std::memory_order_relaxed);
}

}  // namespace tarnwick
