#pragma once

#include <atomic>

namespace tarnwick {

// The caller's request to cancel: set by any host thread, never cleared. The
// driver and every worker hold a reference and only read it.
using CancelFlag = std::atomic<bool>;

// The driver's order to stop, one per run: set when the run ends or fails
// (and by Workers on destruction), never cleared; polled by the workers
// between batches.
//
// Memory ordering: relaxed is enough for both flags. No data is handed over
// through them; a worker's results are read only after joining its thread.
using StopFlag = std::atomic<bool>;

}  // namespace tarnwick
