// Four host threads run very short benchmarks on handles of their own as
// fast as they are admitted, while another thread cancels at random moments
// and another hammers the queries. Meant for the thread sanitizer.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capi.hpp"
#include "process_state.hpp"

#ifndef TARNWICK_STRESS_RUNS
#define TARNWICK_STRESS_RUNS 1000
#endif

namespace tarnwick::reliability {
namespace {

constexpr std::uint64_t ADMITTED_RUNS = TARNWICK_STRESS_RUNS;
constexpr std::size_t RUNNERS = 4;
const std::string REFUSED = "another benchmark is already running";
const std::string TOO_SHORT = "measurement window was too short to complete any work";

// Problems seen on any thread, reported by the main thread at the end.
class Violations {
 public:
  void add(std::string what) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (++count_ <= 20) list_.push_back(std::move(what));
  }
  [[nodiscard]] std::string summary() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string text = std::to_string(count_) + " violation(s)";
    for (const std::string& v : list_) text += "\n  " + v;
    return text;
  }
  [[nodiscard]] std::uint64_t count() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::uint64_t count_ = 0;
  std::vector<std::string> list_;
};

// A runner's current handle, published so the other threads can reach it;
// the runner frees a handle only after taking it back under the lock.
struct Slot {
  std::mutex mutex;
  tarnwick_handle_t* handle = nullptr;
  std::uint64_t generation = 0;
};

struct Totals {
  std::atomic<std::uint64_t> attempts{0};
  std::atomic<std::uint64_t> admitted{0};
  std::atomic<std::uint64_t> refused{0};
  std::atomic<std::uint64_t> completed{0};
  std::atomic<std::uint64_t> cancelled{0};
  std::atomic<std::uint64_t> cancelled_before{0};
  std::atomic<std::uint64_t> too_short{0};
  std::atomic<std::uint64_t> callbacks{0};
  std::atomic<std::uint64_t> queries{0};
  std::atomic<std::uint64_t> cancels{0};
};

struct Shared {
  std::array<Slot, RUNNERS> slots;
  Totals totals;
  Violations violations;
  // Runs between their first progress report and their final one. Both lie
  // inside the span in which a run owns the engine, so two such spans may
  // never overlap: the count must never exceed one.
  std::atomic<int> reporting{0};
  // Calls of tarnwick_run begun and ended, for judging refusals.
  std::atomic<std::uint64_t> calls_begun{0};
  std::atomic<std::uint64_t> calls_ended{0};
  // Admitted calls that ended; a refused runner waits for the next one.
  std::atomic<std::uint64_t> admitted_ended{0};
  std::atomic<bool> done{false};
  std::mutex mutex;  // guards cancel_requests; pairs with `wake`
  std::condition_variable wake;
  std::deque<std::pair<std::size_t, std::uint64_t>> cancel_requests;

  void request_cancel(std::size_t slot, std::uint64_t generation) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      cancel_requests.emplace_back(slot, generation);
    }
    wake.notify_all();
  }
  void notify() {
    { const std::lock_guard<std::mutex> lock(mutex); }
    wake.notify_all();
  }
};

// One run attempt, as its progress callback sees it.
struct Attempt {
  Shared* shared;
  tarnwick_handle_t* handle;
  std::size_t slot;
  std::uint64_t generation;
  std::mt19937_64* rng;
  std::uint64_t calls = 0;
  std::uint32_t last_phase = 0;
  bool final_seen = false;
};

void on_progress(const tarnwick_progress_t* progress, void* data) {
  Attempt& a = *static_cast<Attempt*>(data);
  Shared& s = *a.shared;
  s.totals.callbacks.fetch_add(1);
  if (a.calls++ == 0 && s.reporting.fetch_add(1) != 0) {
    s.violations.add("two runs reported progress at the same time");
  }
  if (a.final_seen) s.violations.add("a report after the final report");
  if (progress->phase < 1 || progress->phase > 5) s.violations.add("phase out of range");
  if (!(progress->progress >= 0.0 && progress->progress <= 1.0)) {
    s.violations.add("progress outside [0, 1]");
  }
  if (progress->threads == 0) s.violations.add("a report with no workers");
  a.last_phase = progress->phase;
  if (progress->phase >= 3) {
    a.final_seen = true;
    s.reporting.fetch_sub(1);
  }
  // The attempt has not stored anything yet: the queries must say so.
  tarnwick_result_t result{};
  tarnwick_sample_t sample{};
  if (tarnwick_result(a.handle, &result) != 0 || tarnwick_reason(a.handle) != nullptr ||
      tarnwick_sample(a.handle, 0, &sample) != 0) {
    s.violations.add("a query saw a result while its run was in progress");
  }
  s.totals.queries.fetch_add(3);
  const std::uint64_t roll = (*a.rng)() % 100;
  if (roll < 2) {
    tarnwick_cancel(a.handle);
    s.totals.cancels.fetch_add(1);
  } else if (roll < 7) {
    s.request_cancel(a.slot, a.generation);
  }
}

tarnwick_config_t random_config(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> window(0.002, 0.02);
  std::uniform_real_distribution<double> warmup(0.001, 0.005);
  const std::uint32_t benchmark = rng() % 2 == 0 ? 1 : 2;
  return make_config(benchmark, rng() % 2 == 0 ? 0.0 : warmup(rng), window(rng));
}

// Checks what the runner's own handle stored against its return value and
// the reports it received. `overlapped` tells whether another call was in
// progress at some moment of this one.
void check_outcome(Shared& s, tarnwick_handle_t* handle, std::int32_t status, const Attempt& a,
                   std::uint32_t benchmark, bool overlapped) {
  tarnwick_result_t r{};
  if (tarnwick_result(handle, &r) != 1) {
    s.violations.add("no result stored");
    return;
  }
  const std::string reason = reason_of(handle);
  const std::string where = " (status " + std::to_string(status) + ", reason \"" + reason + "\")";
  if (static_cast<std::uint32_t>(status) != r.status) s.violations.add("return value" + where);
  if (benchmark == 1 && r.status != 2 && r.threads != 1) {
    s.violations.add("benchmark 1 without exactly one worker" + where);
  }
  switch (status) {
    case 0:
      if (!reason.empty() || !a.final_seen || a.last_phase != 3 || !(r.mean_rate > 0.0) ||
          r.operations == 0 || r.operations % 8 != 0 || r.sample_count == 0) {
        s.violations.add("completed run inconsistent" + where);
      }
      s.totals.completed.fetch_add(1);
      return;
    case 1:
      if (reason == "cancelled" && a.final_seen && a.last_phase == 4 && r.mean_rate == 0.0 &&
          r.has_cv == 0) {
        s.totals.cancelled.fetch_add(1);
      } else if (reason == "cancelled before starting" && a.calls == 0 && r.threads >= 1) {
        s.totals.cancelled_before.fetch_add(1);
      } else {
        s.violations.add("cancelled run inconsistent" + where);
      }
      return;
    case 2:
      if (reason == REFUSED) {
        if (a.calls != 0) s.violations.add("a refused run called the callback");
        if (r.threads != 0) s.violations.add("a refused run reported workers");
        if (!overlapped) s.violations.add("refused while no other run was in progress");
        s.totals.refused.fetch_add(1);
      } else if (reason == TOO_SHORT && a.final_seen && a.last_phase == 5) {
        s.totals.too_short.fetch_add(1);
      } else {
        s.violations.add("failure that fits no expected reason" + where);
      }
      return;
    default:
      s.violations.add("status out of range" + where);
  }
}

void runner(Shared& s, std::size_t index, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Slot& slot = s.slots[index];
  while (!s.done.load()) {
    HandlePtr handle = make_handle();
    if (!handle) {
      s.violations.add("tarnwick_create returned null");
      return;
    }
    const tarnwick_config_t config = random_config(rng);
    std::uint64_t generation = 0;
    {
      const std::lock_guard<std::mutex> lock(slot.mutex);
      slot.handle = handle.get();
      generation = ++slot.generation;
    }
    const std::uint64_t roll = rng() % 100;
    if (roll < 4) {
      tarnwick_cancel(handle.get());
      s.totals.cancels.fetch_add(1);
    } else if (roll < 8) {
      s.request_cancel(index, generation);  // races with the start of the run
    }
    Attempt attempt{&s, handle.get(), index, generation, &rng};
    const std::uint64_t admitted_before = s.admitted_ended.load();
    const std::uint64_t ended_before = s.calls_ended.load();
    s.calls_begun.fetch_add(1);
    const std::int32_t status = tarnwick_run(handle.get(), &config, on_progress, &attempt);
    // Every other call begun by now that had not ended before this one began
    // overlapped it.
    const bool overlapped = s.calls_begun.load() - 1 > ended_before;
    s.calls_ended.fetch_add(1);
    s.totals.attempts.fetch_add(1);
    if (attempt.calls != 0 && !attempt.final_seen) {
      s.violations.add("a run returned without its final report");
      s.reporting.fetch_sub(1);
    }
    check_outcome(s, handle.get(), status, attempt, config.benchmark, overlapped);
    const bool refused = status == 2 && reason_of(handle.get()) == REFUSED;
    {
      const std::lock_guard<std::mutex> lock(slot.mutex);
      slot.handle = nullptr;
    }
    handle.reset();
    if (refused) {
      // Try again once the run that holds the engine has ended.
      std::unique_lock<std::mutex> lock(s.mutex);
      s.wake.wait(lock, [&] { return s.done.load() || s.admitted_ended.load() > admitted_before; });
      continue;
    }
    s.admitted_ended.fetch_add(1);
    if (s.totals.admitted.fetch_add(1) + 1 >= ADMITTED_RUNS) s.done.store(true);
    s.notify();
  }
}

void canceller(Shared& s) {
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    s.wake.wait(lock, [&] { return s.done.load() || !s.cancel_requests.empty(); });
    if (s.cancel_requests.empty()) return;
    const auto [index, generation] = s.cancel_requests.front();
    s.cancel_requests.pop_front();
    lock.unlock();
    Slot& slot = s.slots[index];
    {
      const std::lock_guard<std::mutex> slot_lock(slot.mutex);
      if (slot.handle != nullptr && slot.generation == generation) {
        tarnwick_cancel(slot.handle);
        s.totals.cancels.fetch_add(1);
      }
    }
    lock.lock();
  }
}

void querier(Shared& s, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  while (!s.done.load()) {
    for (Slot& slot : s.slots) {
      const std::lock_guard<std::mutex> lock(slot.mutex);
      if (slot.handle == nullptr) continue;
      tarnwick_result_t r{};
      const std::int32_t has_result = tarnwick_result(slot.handle, &r);
      const char* reason = tarnwick_reason(slot.handle);
      tarnwick_sample_t sample{};
      const std::int32_t has_sample = tarnwick_sample(slot.handle, rng() % 4, &sample);
      s.totals.queries.fetch_add(3);
      // A stored attempt stays stored: a result seen first implies a reason.
      if (has_result == 1 && (reason == nullptr || r.status > 2 || r.abi_version != 1)) {
        s.violations.add("a query copied out an inconsistent result");
      }
      if (has_sample == 1 && !(sample.duration > 0.0)) {
        s.violations.add("a sample with no duration");
      }
      if (rng() % 65536 == 0) {
        tarnwick_cancel(slot.handle);
        s.totals.cancels.fetch_add(1);
      }
    }
    std::this_thread::yield();
  }
}

TEST(Stress, ConcurrentRunsCancelsAndQueriesKeepOneRunAtATime) {
  Shared s;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < RUNNERS; ++i) {
    threads.emplace_back(runner, std::ref(s), i, 0x51ed + i);
  }
  threads.emplace_back(canceller, std::ref(s));
  threads.emplace_back(querier, std::ref(s), 0x9e37);
  for (std::thread& t : threads) t.join();

  const Totals& t = s.totals;
  std::printf(
      "%llu attempts: %llu admitted (%llu completed, %llu cancelled, %llu cancelled before "
      "starting, %llu too short), %llu refused; %llu callbacks, %llu queries, %llu cancels\n",
      static_cast<unsigned long long>(t.attempts.load()),
      static_cast<unsigned long long>(t.admitted.load()),
      static_cast<unsigned long long>(t.completed.load()),
      static_cast<unsigned long long>(t.cancelled.load()),
      static_cast<unsigned long long>(t.cancelled_before.load()),
      static_cast<unsigned long long>(t.too_short.load()),
      static_cast<unsigned long long>(t.refused.load()),
      static_cast<unsigned long long>(t.callbacks.load()),
      static_cast<unsigned long long>(t.queries.load()),
      static_cast<unsigned long long>(t.cancels.load()));

  EXPECT_EQ(s.violations.count(), 0u) << s.violations.summary();
  EXPECT_GE(t.admitted.load(), ADMITTED_RUNS);
  EXPECT_EQ(t.attempts.load(), t.admitted.load() + t.refused.load());
  // The mix must have exercised every path it is meant to.
  EXPECT_GT(t.refused.load(), 0u);
  EXPECT_GT(t.completed.load(), 0u);
  EXPECT_GT(t.cancelled.load(), 0u);
  EXPECT_GT(t.cancelled_before.load(), 0u);
  EXPECT_EQ(s.reporting.load(), 0);
  EXPECT_EQ(settled_worker_threads(), 0u);
}

}  // namespace
}  // namespace tarnwick::reliability
