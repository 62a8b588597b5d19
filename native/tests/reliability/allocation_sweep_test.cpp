// Every allocation of a run failing in turn. This executable replaces the C
// allocator (operator new reaches it too, as do the C library's own
// allocations for threads); while armed it refuses exactly the k-th request.
// A counting run finds how many requests a host's whole attempt makes
// (create, run, result, reason, free), then each k is refused in a forked
// child, so that an abort is observed instead of ending the suite. Every
// attempt must end as a refused handle, a failure with a reason, or a
// completed run, and leave the engine free for the next run.

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "capi.hpp"
#include "process_state.hpp"

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* p);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<std::uint64_t> requests{0};
std::uint64_t refuse_at = 0;  // 1-based; 0 refuses none. Set before arming.

bool refuse() noexcept {
  if (!armed.load(std::memory_order_relaxed)) return false;
  const std::uint64_t n = requests.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n != refuse_at) return false;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) noexcept { return refuse() ? nullptr : __libc_malloc(size); }
void free(void* p) noexcept { __libc_free(p); }
void* calloc(std::size_t count, std::size_t size) noexcept {
  return refuse() ? nullptr : __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
  return refuse() ? nullptr : __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  return refuse() ? nullptr : __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  return memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  if (refuse()) return ENOMEM;
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"

namespace tarnwick::reliability {
namespace {

enum class Ending { refused, completed, failed, wrong };

constexpr const char* TOO_SHORT = "measurement window was too short to complete any work";

// What a child writes back through shared memory.
struct Report {
  Ending ending;
  std::uint64_t requests;
  std::int32_t status;
  std::int32_t next_status;
  std::size_t workers_left;
  char reason[160];
  char next_reason[160];
};

void copy_text(char (&to)[160], const char* from) {
  std::snprintf(to, sizeof to, "%s", from == nullptr ? "<none>" : from);
}

// The child's whole life: one attempt with request `k` refused, then one on
// a healthy allocator. Nothing here allocates while armed but the library.
[[noreturn]] void child(Report& report, const tarnwick_config_t& config, std::uint64_t k) {
  const tarnwick_config_t next = make_config(1, 0.0, 0.005);
  refuse_at = k;
  requests = 0;
  armed = true;
  tarnwick_handle_t* handle = tarnwick_create();
  if (handle == nullptr) {
    armed = false;
    report.ending = Ending::refused;
  } else {
    report.status = tarnwick_run(handle, &config, nullptr, nullptr);
    tarnwick_result_t result{};
    const bool stored = tarnwick_result(handle, &result) == 1;
    const char* reason = tarnwick_reason(handle);
    copy_text(report.reason, reason);
    const bool has_reason = reason != nullptr && reason[0] != '\0';
    const bool consistent = stored && result.status == static_cast<std::uint32_t>(report.status);
    tarnwick_free(handle);
    armed = false;
    if (consistent && report.status == 0 && !has_reason) {
      report.ending = Ending::completed;
    } else if (consistent && report.status == 2 && has_reason) {
      report.ending = Ending::failed;
    } else {
      report.ending = Ending::wrong;
    }
  }
  report.requests = requests.load();
  report.workers_left = settled_worker_threads();
  HandlePtr again = make_handle();
  report.next_status = tarnwick_run(again.get(), &next, nullptr, nullptr);
  copy_text(report.next_reason, tarnwick_reason(again.get()));
  again.reset();
  _exit(0);
}

struct Case {
  Report report{};
  bool exited = false;  // normally, with status 0
  std::string how;      // otherwise: the signal or status, and what it wrote
};

// Runs one child, its standard error kept in `err_fd`; a child that outlives
// `limit` is killed and counted as hung.
Case run_case(Report* shared, int err_fd, const tarnwick_config_t& config, std::uint64_t k) {
  std::memset(shared, 0, sizeof *shared);
  shared->ending = Ending::wrong;
  if (ftruncate(err_fd, 0) != 0 || lseek(err_fd, 0, SEEK_SET) != 0) {
    return Case{{}, false, "cannot reset the error file"};
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return Case{{}, false, "fork failed"};
  if (pid == 0) {
    dup2(err_fd, STDERR_FILENO);
    child(*shared, config, k);
  }
  Case result;
  int status = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    static_cast<void>(waitpid(pid, &status, 0));
    result.how = "hung for 30 s";
  } else if (WIFSIGNALED(status)) {
    result.how = std::string("killed by ") + strsignal(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    result.how = "exited with " + std::to_string(WEXITSTATUS(status));
  } else {
    result.exited = true;
  }
  result.report = *shared;
  if (!result.exited) {
    char text[2048] = {};
    const ssize_t n = pread(err_fd, text, sizeof text - 1, 0);
    if (n > 0) result.how += ", standard error: " + std::string(text, static_cast<std::size_t>(n));
  }
  return result;
}

class AllocationSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    void* page =
        mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    shared_ = static_cast<Report*>(page);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    err_file_ = file;
  }
  void TearDown() override {
    if (shared_ != nullptr) munmap(shared_, sizeof(Report));
    if (err_file_ != nullptr) std::fclose(err_file_);
  }

  Report* shared_ = nullptr;
  std::FILE* err_file_ = nullptr;
};

TEST_F(AllocationSweep, EveryRefusedAllocationEndsTheAttemptCleanly) {
  std::uint64_t points = 0;
  // The two runs, and a rejected record, whose reason is made at the boundary.
  const struct {
    const char* name;
    tarnwick_config_t config;
    Ending unrefused;  // how the attempt ends when nothing is refused
    std::uint64_t least;
  } attempts[] = {
      // A run cannot do without its handle, shared records, threads and samples.
      {"one worker", make_config(1, 0.0, 0.02), Ending::completed, 8},
      {"all CPUs", make_config(2, 0.0, 0.02), Ending::completed, 8},
      {"unknown benchmark", make_config(7, 0.0, 0.02), Ending::failed, 2},
  };
  for (const auto& attempt : attempts) {
    SCOPED_TRACE(attempt.name);
    const Case counted = run_case(shared_, fileno(err_file_), attempt.config, 0);
    ASSERT_TRUE(counted.exited) << counted.how;
    // A loaded machine may leave a 20 ms window without a completed step.
    ASSERT_TRUE(counted.report.ending == attempt.unrefused ||
                std::string(counted.report.reason) == TOO_SHORT)
        << counted.report.reason;
    const std::uint64_t total = counted.report.requests;
    ASSERT_GE(total, attempt.least) << "the allocator was not replaced";

    unsigned tally[4] = {};
    for (std::uint64_t k = 1; k <= total; ++k) {
      const Case c = run_case(shared_, fileno(err_file_), attempt.config, k);
      ASSERT_TRUE(c.exited) << "refusing allocation " << k << " of " << total << ": " << c.how;
      const Report& r = c.report;
      ++tally[static_cast<int>(r.ending)];
      EXPECT_NE(r.ending, Ending::wrong)
          << "allocation " << k << ": status " << r.status << ", reason '" << r.reason << "'";
      EXPECT_EQ(r.workers_left, 0u) << "allocation " << k << ": a worker was not joined";
      // The engine is free again: a refused allocation leaves nothing held.
      EXPECT_TRUE(r.next_status == 0 || std::string(r.next_reason) == TOO_SHORT)
          << "allocation " << k << ": the next run gave " << r.next_status << " '" << r.next_reason
          << "'";
    }
    points += total;
    std::printf(
        "%s: %llu allocation failure points: %u failed with a reason, %u completed, %u "
        "refused a handle\n",
        attempt.name, static_cast<unsigned long long>(total),
        tally[static_cast<int>(Ending::failed)], tally[static_cast<int>(Ending::completed)],
        tally[static_cast<int>(Ending::refused)]);
  }
  std::printf("%llu failure points in all\n", static_cast<unsigned long long>(points));
}

}  // namespace
}  // namespace tarnwick::reliability
