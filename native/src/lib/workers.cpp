#include "workers.hpp"

#include <utility>

namespace tarnwick {

Workers::Workers(std::shared_ptr<StopFlag> stop_flag, std::shared_ptr<StartGate> start_gate,
                 std::size_t expected)
    : stop_flag_(std::move(stop_flag)), start_gate_(std::move(start_gate)) {
  handles_.reserve(expected);
}

Workers::~Workers() {
  // Stop first, then open: a worker woken by the gate must find the flag set.
  stop_flag_->store(true, std::memory_order_relaxed);
  start_gate_->release();
  for (auto& handle : handles_) {
    // A worker's fault was already reported on its own thread; nothing to add.
    static_cast<void>(handle->join());
  }
}

void Workers::push(std::unique_ptr<JoinHandle> handle) { handles_.push_back(std::move(handle)); }

std::vector<std::unique_ptr<JoinHandle>> Workers::take_handles() noexcept {
  return std::exchange(handles_, {});
}

}  // namespace tarnwick
