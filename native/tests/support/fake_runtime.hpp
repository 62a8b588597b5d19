#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "runtime.hpp"

namespace tarnwick::testing {

// What a FakeRuntime answers. Everything not scripted is passed to System, so
// the threads are real, named and joined.
struct FakeScript {
  // The CPU count, or the error available_cpus returns.
  std::variant<std::size_t, SystemError> cpus = std::size_t{2};
  // spawn of this index returns spawn_error without starting a thread.
  std::optional<std::size_t> spawn_fails_at{};
  SystemError spawn_error = SystemError::from_code(EAGAIN);
  // spawn of this index throws, as a broken invariant would.
  std::optional<std::size_t> spawn_throws_at{};
  // kernel of this seed returns kernel_error.
  std::optional<std::uint64_t> kernel_fails_for{};
  std::string kernel_error = "abc";
  // kernel of this seed throws before the worker can report.
  std::optional<std::uint64_t> kernel_throws_for{};
  // kernel of this seed succeeds, but its first step throws: a worker that
  // faults after the gate, in the middle of the run.
  std::optional<std::uint64_t> kernel_faults_for{};
};

// A scripted Runtime that records the calls made to it. The kernel calls come
// from the worker threads, so the records are kept under a mutex.
class FakeRuntime final : public Runtime {
 public:
  explicit FakeRuntime(FakeScript script = {}) : script_(std::move(script)) {}

  Result<std::size_t, SystemError> available_cpus() override {
    const std::lock_guard lock(mutex_);
    ++cpu_calls_;
    if (const auto* error = std::get_if<SystemError>(&script_.cpus)) {
      return Result<std::size_t, SystemError>::err(*error);
    }
    return Result<std::size_t, SystemError>::ok(std::get<std::size_t>(script_.cpus));
  }

  Result<std::unique_ptr<JoinHandle>, SystemError> spawn(std::size_t worker_index,
                                                         Task body) override {
    {
      const std::lock_guard lock(mutex_);
      spawned_.push_back(worker_index);
    }
    if (script_.spawn_fails_at == worker_index) {
      return Result<std::unique_ptr<JoinHandle>, SystemError>::err(script_.spawn_error);
    }
    if (script_.spawn_throws_at == worker_index) throw std::runtime_error("spawn broke");
    return system_.spawn(worker_index, std::move(body));
  }

  Result<Kernel, std::string> kernel(std::uint64_t seed) override {
    {
      const std::lock_guard lock(mutex_);
      kernel_seeds_.push_back(seed);
    }
    if (script_.kernel_throws_for == seed) throw std::runtime_error("kernel broke");
    if (script_.kernel_fails_for == seed) {
      return Result<Kernel, std::string>::err(script_.kernel_error);
    }
    auto built = system_.kernel(seed);
    // An empty table makes the walk's checked access throw on the first step.
    if (built && script_.kernel_faults_for == seed) built.value().table.clear();
    return built;
  }

  [[nodiscard]] std::size_t cpu_calls() const {
    const std::lock_guard lock(mutex_);
    return cpu_calls_;
  }
  [[nodiscard]] std::vector<std::size_t> spawned() const {
    const std::lock_guard lock(mutex_);
    return spawned_;
  }
  // Seeds asked for, in ascending order (workers build concurrently).
  [[nodiscard]] std::vector<std::uint64_t> kernel_seeds() const {
    const std::lock_guard lock(mutex_);
    auto seeds = kernel_seeds_;
    std::sort(seeds.begin(), seeds.end());
    return seeds;
  }

 private:
  const FakeScript script_;
  System system_;
  mutable std::mutex mutex_;
  std::size_t cpu_calls_ = 0;                // guarded by mutex_
  std::vector<std::size_t> spawned_;         // guarded by mutex_
  std::vector<std::uint64_t> kernel_seeds_;  // guarded by mutex_
};

}  // namespace tarnwick::testing
