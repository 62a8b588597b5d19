#include "timing_cell.hpp"

#include <stdexcept>
#include <string>

#include "reasons.hpp"

namespace tarnwick {

void TimingCell::set(const Timing& timing) {
  int expected = EMPTY;
  // Claiming the cell before writing keeps a second writer off timing_ even
  // when two writers race.
  if (!state_.compare_exchange_strong(expected, WRITING, std::memory_order_relaxed)) {
    throw std::logic_error(std::string(reasons::TIMING_TWICE));
  }
  timing_ = timing;
  state_.store(FULL, std::memory_order_release);
}

std::optional<Timing> TimingCell::get() const noexcept {
  if (state_.load(std::memory_order_acquire) != FULL) return std::nullopt;
  return timing_;
}

}  // namespace tarnwick
