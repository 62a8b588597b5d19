#pragma once

#include <atomic>
#include <optional>

#include "clock.hpp"

namespace tarnwick {

// The run's three instants, fixed once every worker is ready.
struct Timing {
  Instant start;
  Instant warm_end;  // start + warmup
  Instant end;       // warm_end + measure
};

// A write-once cell for the run's Timing. The driver fills it before it opens
// the start gate; the workers read it after passing the gate.
//
// Memory ordering: set() publishes with release and get() reads with acquire,
// so a reader that sees the cell full sees the whole Timing, whatever else
// orders the two threads.
class TimingCell {
 public:
  TimingCell() = default;
  TimingCell(const TimingCell&) = delete;
  TimingCell& operator=(const TimingCell&) = delete;

  // Stores `timing`. A second value is a broken invariant: throws
  // std::logic_error with reasons::TIMING_TWICE and keeps the first value.
  void set(const Timing& timing);

  // The stored Timing, or nothing while the cell is empty.
  [[nodiscard]] std::optional<Timing> get() const noexcept;

 private:
  enum : int { EMPTY, WRITING, FULL };
  std::atomic<int> state_{EMPTY};
  Timing timing_{};  // written once, by the writer that moved state_ off EMPTY
};

}  // namespace tarnwick
