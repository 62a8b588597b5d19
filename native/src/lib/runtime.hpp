#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "../kernel/kernel.hpp"
#include "../kernel/result.hpp"

namespace tarnwick {

// An operating-system failure. `text` is what reasons show: the system's
// description, " (os error ", the code, ")"; or a fixed message (code 0).
struct SystemError {
  int code = 0;
  std::string text;

  [[nodiscard]] static SystemError from_code(int code);
  [[nodiscard]] static SystemError message(std::string text);
};

// A one-shot, move-only body for a worker thread.
class Task {
 public:
  template <class F>
  explicit Task(F body) : impl_(std::make_unique<Model<F>>(std::move(body))) {}
  Task(Task&&) noexcept = default;
  Task& operator=(Task&&) noexcept = default;

  // Runs the body once; the body (and what it owns) is destroyed on return,
  // including when it throws.
  void operator()() {
    std::unique_ptr<Concept> impl = std::move(impl_);
    impl->run();
  }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual void run() = 0;
  };
  template <class F>
  struct Model final : Concept {
    explicit Model(F f) : body(std::move(f)) {}
    void run() override { body(); }
    F body;
  };
  std::unique_ptr<Concept> impl_;
};

// A started worker thread.
class JoinHandle {
 public:
  virtual ~JoinHandle() = default;
  // Waits for the thread to end. False when its body ended by a fault.
  [[nodiscard]] virtual bool join() = 0;
};

// The platform services the engine uses; tests substitute a fake.
class Runtime {
 public:
  virtual ~Runtime() = default;
  // CPUs this process may run on: never zero.
  [[nodiscard]] virtual Result<std::size_t, SystemError> available_cpus() = 0;
  // Starts a thread named "tarnwick-<index>" running `body`. On failure the
  // body is destroyed unrun.
  [[nodiscard]] virtual Result<std::unique_ptr<JoinHandle>, SystemError> spawn(
      std::size_t worker_index, Task body) = 0;
  // Builds the kernel of `seed` on the calling thread.
  [[nodiscard]] virtual Result<Kernel, std::string> kernel(std::uint64_t seed) = 0;
};

// The real operating system.
class System final : public Runtime {
 public:
  Result<std::size_t, SystemError> available_cpus() override;
  Result<std::unique_ptr<JoinHandle>, SystemError> spawn(std::size_t worker_index,
                                                         Task body) override;
  Result<Kernel, std::string> kernel(std::uint64_t seed) override;
};

}  // namespace tarnwick
