#include <cxxabi.h>
#include <pthread.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "runtime.hpp"

namespace tarnwick {

namespace {

// Every worker gets this stack whatever the process's stack limit says.
constexpr std::size_t WORKER_STACK_BYTES = std::size_t{2} << 20;
// The kernel keeps the first 15 bytes of a thread name.
constexpr std::size_t MAX_THREAD_NAME = 15;

// What a worker thread ends with when its body faulted; joining reads it back.
char fault_marker;

struct ThreadStart {
  std::string name;
  Task body;
};

void report_fault(const std::string& name) {
  try {
    throw;
  } catch (const std::exception& fault) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), fault.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unknown fault\n", name.c_str());
  }
}

void* run_thread(void* arg) {
  const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  // Naming from inside the thread means a name that is only as long as the
  // thread itself; a failure to name is cosmetic and ignored. The cut is made
  // in a local buffer: nothing outside the try below may allocate or throw.
  char name[MAX_THREAD_NAME + 1] = {};
  start->name.copy(name, MAX_THREAD_NAME);
  static_cast<void>(pthread_setname_np(pthread_self(), name));
  try {
    start->body();
  } catch (const abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind to the end
  } catch (...) {
    report_fault(start->name);
    return &fault_marker;
  }
  return nullptr;
}

class PthreadHandle final : public JoinHandle {
 public:
  PthreadHandle() noexcept = default;
  PthreadHandle(const PthreadHandle&) = delete;
  PthreadHandle& operator=(const PthreadHandle&) = delete;

  // A handle never joined still waits for its thread, so no worker outlives
  // the run that owns the handle.
  ~PthreadHandle() override {
    if (!joined_) static_cast<void>(join());
  }

  // Where pthread_create writes the thread; call started() once it has.
  [[nodiscard]] pthread_t* slot() noexcept { return &thread_; }
  void started() noexcept { joined_ = false; }

  bool join() override {
    if (joined_) return !faulted_;
    void* result = nullptr;
    const int rc = pthread_join(thread_, &result);
    joined_ = true;
    faulted_ = rc != 0 || result != nullptr;
    return !faulted_;
  }

 private:
  pthread_t thread_{};
  bool joined_ = true;  // nothing to join until a thread has started
  bool faulted_ = false;
};

class ThreadAttributes {
 public:
  ThreadAttributes() noexcept : rc_(pthread_attr_init(&attr_)) {}
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
  ~ThreadAttributes() {
    if (rc_ == 0) pthread_attr_destroy(&attr_);
  }

  [[nodiscard]] int set_stack_size(std::size_t bytes) noexcept {
    return rc_ != 0 ? rc_ : pthread_attr_setstacksize(&attr_, bytes);
  }
  [[nodiscard]] const pthread_attr_t* get() const noexcept { return &attr_; }

 private:
  pthread_attr_t attr_{};
  int rc_;
};

}  // namespace

Result<std::unique_ptr<JoinHandle>, SystemError> System::spawn(std::size_t worker_index,
                                                               Task body) {
  using Spawned = Result<std::unique_ptr<JoinHandle>, SystemError>;
  auto start = std::make_unique<ThreadStart>(
      ThreadStart{"tarnwick-" + std::to_string(worker_index), std::move(body)});
  ThreadAttributes attributes;
  if (const int rc = attributes.set_stack_size(WORKER_STACK_BYTES); rc != 0) {
    return Spawned::err(SystemError::from_code(rc));
  }
  // Everything that can fail by allocating is done before the thread exists.
  auto handle = std::make_unique<PthreadHandle>();
  if (const int rc = pthread_create(handle->slot(), attributes.get(), run_thread, start.get());
      rc != 0) {
    // `start` still owns the body: it is destroyed unrun on the way out.
    return Spawned::err(SystemError::from_code(rc));
  }
  handle->started();
  static_cast<void>(start.release());  // the thread owns it now
  return Spawned::ok(std::move(handle));
}

Result<Kernel, std::string> System::kernel(std::uint64_t seed) {
  return Kernel::new_with_allocator(seed, allocate_table);
}

}  // namespace tarnwick
