#pragma once

#include <cstdint>

#include "worker_context.hpp"

namespace tarnwick {

// Kernel steps between two clock reads and two counter updates.
inline constexpr std::uint64_t STEPS_PER_BATCH = 8;

// The body of one worker thread: builds the worker's kernel (seed =
// worker_index), reports once on the readiness channel, waits at the start
// gate, then runs batches until the stop flag, the cancel flag or the end of
// the window stops it, and publishes measured_nanos and checksum.
//
// Each batch counts whole in the phase in which it began. A worker that fails
// to build its kernel, or finds the stop flag set at the gate, leaves its
// counters at zero. A fault (an exception) escapes to the thread's boundary;
// an empty timing cell after the gate is one.
void worker_main(WorkerContext context);

}  // namespace tarnwick
