#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "flags.hpp"
#include "runtime.hpp"
#include "start_gate.hpp"

namespace tarnwick {

// The join handles of a run's started workers, in start order.
//
// Destruction sets the stop flag, opens the start gate and joins every handle
// still held, discarding failed joins. Opening the gate here is what lets a
// worker still waiting at it see the stop flag and end, so no exit from the
// driver (unwinding included) can leave a join waiting forever.
class Workers {
 public:
  // Room for `expected` handles is made up front, so keeping a started
  // worker's handle never allocates.
  Workers(std::shared_ptr<StopFlag> stop_flag, std::shared_ptr<StartGate> start_gate,
          std::size_t expected);
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers();

  // Keeps the handle of a worker that was just started; at most `expected`.
  void push(std::unique_ptr<JoinHandle> handle);

  // Hands every held handle over, in start order, for the caller to join.
  [[nodiscard]] std::vector<std::unique_ptr<JoinHandle>> take_handles() noexcept;

 private:
  std::vector<std::unique_ptr<JoinHandle>> handles_;
  std::shared_ptr<StopFlag> stop_flag_;
  std::shared_ptr<StartGate> start_gate_;
};

}  // namespace tarnwick
