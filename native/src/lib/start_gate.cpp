#include "start_gate.hpp"

namespace tarnwick {

void StartGate::release() {
  {
    const std::lock_guard lock(mutex_);
    released_ = true;
  }
  // Waking after unlocking spares the woken workers a second block on the mutex.
  opened_.notify_all();
}

void StartGate::wait() {
  std::unique_lock lock(mutex_);
  opened_.wait(lock, [this] { return released_; });
}

}  // namespace tarnwick
