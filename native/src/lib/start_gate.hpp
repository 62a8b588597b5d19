#pragma once

#include <condition_variable>
#include <mutex>

namespace tarnwick {

// Holds the workers back until the driver has published the run's timing (or
// decided that they must stop). Opens once and never closes.
//
// Memory ordering: everything the driver wrote before release() is visible to
// a worker once its wait() returns; the mutex carries it.
class StartGate {
 public:
  StartGate() = default;
  StartGate(const StartGate&) = delete;
  StartGate& operator=(const StartGate&) = delete;

  // Opens the gate and wakes every waiter. Opening an open gate is harmless,
  // so every exit path may call it without knowing what happened before.
  void release();

  // Blocks until the gate is open; returns at once if it already is.
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool released_ = false;  // guarded by mutex_
};

}  // namespace tarnwick
