#pragma once

#include <cstddef>
#include <memory>

#include "counters.hpp"
#include "flags.hpp"
#include "ready_channel.hpp"
#include "runtime.hpp"
#include "start_gate.hpp"
#include "timing_cell.hpp"

namespace tarnwick {

// Everything one worker thread owns, moved into its body at spawn. The shared
// records are the run's; the sender and the counters are this worker's own.
struct WorkerContext {
  ReadySender ready_sender;
  std::shared_ptr<Runtime> runtime;
  std::shared_ptr<StartGate> start_gate;
  std::shared_ptr<StopFlag> stop_flag;
  std::shared_ptr<TimingCell> timing_cell;
  std::shared_ptr<CancelFlag> cancel_flag;
  std::shared_ptr<Counters> counters;
  std::size_t worker_index = 0;
};

}  // namespace tarnwick
