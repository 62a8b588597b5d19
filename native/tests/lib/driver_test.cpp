#include "driver.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../support/fake_runtime.hpp"
#include "reasons.hpp"
#include "run_support.hpp"

namespace tarnwick {
namespace {

using testing::durations;
using testing::FakeRuntime;
using testing::FakeScript;
using testing::Reports;

std::shared_ptr<CancelFlag> flag(bool set = false) { return std::make_shared<CancelFlag>(set); }

std::shared_ptr<FakeRuntime> fake(FakeScript script = {}) {
  return std::make_shared<FakeRuntime>(std::move(script));
}

// Every run must leave the engine free and no worker thread behind.
class RunWith : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(ACTIVE.load()); }
  void TearDown() override {
    EXPECT_FALSE(ACTIVE.load()) << "the engine was left taken";
    EXPECT_TRUE(testing::await_worker_threads()) << "a worker outlived its run";
  }
};

TEST_F(RunWith, RefusesAZeroWindowBeforeLookingAtTheEngine) {
  for (const bool busy : {false, true}) {
    ACTIVE.store(busy);
    auto runtime = fake();
    Reports reports;
    const Outcome o = run_with(2, durations(3, 0), flag(), reports.callback(), runtime);
    EXPECT_EQ(ACTIVE.exchange(false), busy) << "the flag was touched";
    EXPECT_EQ(o.status, STATUS_FAILED);
    EXPECT_EQ(o.reason, reasons::MEASURE_NOT_POSITIVE);
    EXPECT_EQ(o.threads, 0u);
    EXPECT_EQ(o.warmup_seconds, 3.0);
    EXPECT_EQ(o.benchmark, 2u);
    EXPECT_EQ(runtime->cpu_calls(), 0u);
    EXPECT_TRUE(reports.all.empty());
  }
}

// The failures that end a run before its gate opens: each gives its reason,
// starts no more workers than it must, joins those it started and never
// calls back.
TEST_F(RunWith, StartUpFailuresEndTheRunWithTheirReason) {
  constexpr std::uint64_t MAX_SECS = std::numeric_limits<std::int64_t>::max();
  const struct {
    const char* name;
    FakeScript script;
    std::uint32_t benchmark;
    bool cancelled;
    Durations requested;
    std::uint32_t status;
    std::string reason;
    std::uint32_t threads;
    std::vector<std::size_t> spawned;
    std::vector<std::uint64_t> kernels;
  } cases[] = {
      {"no cpu count",
       {.cpus = SystemError::from_code(ENOENT)},
       2,
       false,
       durations(0, 1),
       STATUS_FAILED,
       "cannot determine available CPUs: No such file or directory (os error 2)",
       0,
       {},
       {}},
      {"cancelled first",
       {.cpus = std::size_t{3}},
       2,
       true,
       durations(0, 1),
       STATUS_CANCELLED,
       "cancelled before starting",
       3,
       {},
       {}},
      {"spawn fails",
       {.cpus = std::size_t{3}, .spawn_fails_at = 1},
       2,
       false,
       durations(0, 1),
       STATUS_FAILED,
       "cannot start worker: Resource temporarily unavailable (os error 11)",
       3,
       {0, 1},
       {0}},
      {"kernel fails",
       {.cpus = std::size_t{3}, .kernel_fails_for = 1},
       2,
       false,
       durations(0, 1),
       STATUS_FAILED,
       R"(worker initialization failed: Ok(Err("abc")))",
       3,
       {0, 1, 2},
       {0, 1, 2}},
      {"kernel text escaped",
       {.kernel_fails_for = 0, .kernel_error = "no \"room\"\n"},
       1,
       false,
       durations(0, 1),
       STATUS_FAILED,
       R"(worker initialization failed: Ok(Err("no \"room\"\n")))",
       1,
       {0},
       {0}},
      {"worker ends unreported",
       {.cpus = std::size_t{3}, .kernel_throws_for = 1},
       2,
       false,
       durations(0, 1),
       STATUS_FAILED,
       "worker initialization failed: Err(RecvError)",
       3,
       {0, 1, 2},
       {0, 1, 2}},
      {"warm-up past the clock",
       {.cpus = std::size_t{2}},
       2,
       false,
       Durations{Duration{10'000'000'000'000'000'000u, 0}, Duration{1, 0}},
       STATUS_FAILED,
       "requested duration exceeds the monotonic clock range",
       2,
       {0, 1},
       {0, 1}},
      {"window past the clock",
       {},
       1,
       false,
       Durations{Duration{}, Duration{MAX_SECS, 0}},
       STATUS_FAILED,
       "requested duration exceeds the monotonic clock range",
       1,
       {0},
       {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto runtime = fake(c.script);
    Reports reports;
    ::testing::internal::CaptureStderr();  // a worker that throws leaves a diagnostic
    const Outcome o =
        run_with(c.benchmark, c.requested, flag(c.cancelled), reports.callback(), runtime);
    static_cast<void>(::testing::internal::GetCapturedStderr());
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.reason, c.reason);
    EXPECT_EQ(o.threads, c.threads);
    EXPECT_EQ(runtime->spawned(), c.spawned);
    EXPECT_EQ(runtime->kernel_seeds(), c.kernels);
    EXPECT_EQ(runtime->cpu_calls(), c.benchmark == 1 ? 0u : 1u);
    EXPECT_TRUE(reports.all.empty()) << "called back before the gate opened";
    EXPECT_FALSE(o.mean_rate.has_value());
    EXPECT_TRUE(o.samples.empty());
    EXPECT_EQ(o.operations + o.checksum, 0u);
    EXPECT_FALSE(ACTIVE.load());
  }
}

TEST_F(RunWith, ASingleWorkerWithoutWarmUpMeasuresFromTheFirstReport) {
  // The CPU count would fail: a single worker must never ask for it.
  auto runtime = fake({.cpus = SystemError::from_code(EIO)});
  Reports reports;
  const Outcome o = run_with(1, durations(0, 0.2), flag(), reports.callback(), runtime);
  EXPECT_EQ(runtime->cpu_calls(), 0u);
  ASSERT_EQ(o.status, STATUS_COMPLETED) << o.reason;
  EXPECT_EQ(o.threads, 1u);
  EXPECT_GT(o.operations, 0u);
  EXPECT_EQ(o.operations % 8, 0u);
  EXPECT_GE(o.measured_seconds, 0.2) << "the worker stops only at the end of the window";
  EXPECT_TRUE(o.mean_rate.has_value());

  ASSERT_GE(reports.all.size(), 2u);
  for (const Progress& p : reports.all) EXPECT_NE(p.phase, PHASE_WARMUP);
  const Progress& last = reports.all.back();
  EXPECT_EQ(last.phase, PHASE_COMPLETED);
  EXPECT_EQ(last.progress, 1.0);
  EXPECT_EQ(last.phase_elapsed, o.measured_seconds);
  EXPECT_EQ(last.phase_seconds, 0.2);
  EXPECT_EQ(last.operations, o.operations);
  EXPECT_EQ(last.threads, 1u);
}

TEST_F(RunWith, ReportsFollowThePhasesAtTheirCadence) {
  std::vector<std::string> names_seen;
  Reports reports([&](const Progress&) {
    if (names_seen.empty()) names_seen = testing::worker_thread_names();
  });
  auto runtime = fake({.cpus = std::size_t{3}});
  const Outcome o = run_with(2, durations(0.15, 0.3), flag(), reports.callback(), runtime);
  EXPECT_EQ(o.status, STATUS_COMPLETED) << o.reason;
  EXPECT_EQ(names_seen, (std::vector<std::string>{"tarnwick-0", "tarnwick-1", "tarnwick-2"}));
  EXPECT_EQ(runtime->kernel_seeds(), (std::vector<std::uint64_t>{0, 1, 2}));

  const auto& all = reports.all;
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all.front().phase, PHASE_WARMUP);
  EXPECT_EQ(all.front().phase_seconds, 0.15);
  for (std::size_t i = 0; i + 1 < all.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(all[i].threads, 3u);
    EXPECT_LE(all[i].progress, 1.0);
    EXPECT_LE(all[i].phase_elapsed, all[i].phase_seconds);
    if (i == 0) continue;
    EXPECT_GE(all[i].progress, all[i - 1].progress);
    EXPECT_GE(all[i].phase, all[i - 1].phase);
    // Within a phase a report waits 100 ms for the last; arrivals are a
    // little noisier than the driver's own clock reads.
    if (all[i].phase == all[i - 1].phase) {
      EXPECT_GE(reports.arrivals[i] - reports.arrivals[i - 1], std::chrono::milliseconds(80));
    }
  }
  EXPECT_EQ(all.back().phase, PHASE_COMPLETED);
  EXPECT_EQ(all.back().operations, o.operations);
}

TEST_F(RunWith, CancellingDuringWarmUpEndsWithoutMeasuring) {
  auto cancel = flag();
  Reports reports([&](const Progress&) { cancel->store(true); });
  const Outcome o = run_with(2, durations(30, 30), cancel, reports.callback(), fake());
  EXPECT_EQ(o.status, STATUS_CANCELLED);
  EXPECT_EQ(o.reason, reasons::CANCELLED);
  EXPECT_FALSE(o.mean_rate.has_value());
  EXPECT_TRUE(o.samples.empty());
  EXPECT_EQ(o.operations, 0u);
  EXPECT_EQ(o.measured_seconds, 0.0);
  ASSERT_EQ(reports.all.size(), 2u);
  EXPECT_EQ(reports.all[0].phase, PHASE_WARMUP);
  EXPECT_EQ(reports.all[1].phase, PHASE_CANCELLED);
  EXPECT_LT(reports.all[1].progress, 0.1);
}

TEST_F(RunWith, CancellingFromAnotherThreadDuringMeasurementKeepsWhatWasMeasured) {
  auto cancel = flag();
  std::promise<void> measuring;
  bool told = false;
  Reports reports([&](const Progress& p) {
    if (!told && p.phase == PHASE_MEASUREMENT && p.operations > 0) {
      told = true;
      measuring.set_value();
    }
  });
  std::thread canceller([&, seen = measuring.get_future()] {
    static_cast<void>(seen.wait_for(std::chrono::seconds(20)));
    cancel->store(true);
  });
  const Outcome o = run_with(2, durations(0.05, 30), cancel, reports.callback(), fake());
  canceller.join();
  EXPECT_EQ(o.status, STATUS_CANCELLED);
  EXPECT_EQ(o.reason, reasons::CANCELLED);
  EXPECT_GT(o.operations, 0u);
  EXPECT_GT(o.measured_seconds, 0.0);
  EXPECT_LT(o.measured_seconds, 30.0);
  EXPECT_FALSE(o.mean_rate.has_value());
  ASSERT_FALSE(o.samples.empty());
  EXPECT_EQ(o.samples.back().time, o.measured_seconds);
  EXPECT_EQ(reports.all.back().phase, PHASE_CANCELLED);
}

TEST_F(RunWith, AWorkerFaultLetsTheOthersFinishAndFailsTheRun) {
  ::testing::internal::CaptureStderr();
  Reports reports;
  // A window long enough for both workers to be scheduled on a loaded
  // machine: the faulting one must take its first step, the other a batch.
  const Outcome o = run_with(2, durations(0.05, 1.0), flag(), reports.callback(),
                             fake({.cpus = std::size_t{2}, .kernel_faults_for = 1}));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("tarnwick-1: "), std::string::npos);
  EXPECT_EQ(o.status, STATUS_FAILED);
  EXPECT_EQ(o.reason, reasons::WORKER_PANICKED);
  EXPECT_GT(o.operations, 0u) << "the healthy worker's work is still aggregated";
  EXPECT_GE(o.measured_seconds, 1.0) << "the run went on to the end of its window";
  EXPECT_EQ(reports.all.back().phase, PHASE_FAILED);
}

TEST_F(RunWith, AWorkerFaultOutranksACancellation) {
  ::testing::internal::CaptureStderr();
  auto cancel = flag();
  Reports reports([&](const Progress&) {
    // Only its fault ends worker 0 this early: cancel once its thread is gone.
    if (!cancel->load()) static_cast<void>(testing::await_worker_threads({"tarnwick-1"}));
    cancel->store(true);
  });
  const Outcome o = run_with(2, durations(0, 30), cancel, reports.callback(),
                             fake({.cpus = std::size_t{2}, .kernel_faults_for = 0}));
  static_cast<void>(::testing::internal::GetCapturedStderr());
  EXPECT_EQ(o.status, STATUS_FAILED);
  EXPECT_EQ(o.reason, reasons::WORKER_PANICKED);
  EXPECT_EQ(reports.all.back().phase, PHASE_FAILED);
}

TEST_F(RunWith, AWindowTooShortForABatchFails) {
  Reports reports;
  const Outcome o =
      run_with(1, Durations{Duration{}, Duration{0, 1}}, flag(), reports.callback(), fake());
  EXPECT_EQ(o.status, STATUS_FAILED);
  EXPECT_EQ(o.reason, reasons::TOO_SHORT);
  EXPECT_EQ(reports.all.back().phase, PHASE_FAILED);
}

TEST_F(RunWith, ASecondRunIsRefusedWhileOneIsInProgressAndAdmittedAfter) {
  std::promise<void> first_running;
  std::promise<void> second_refused;
  auto refused = second_refused.get_future();
  Reports first_reports([&](const Progress&) {
    if (!refused.valid()) return;
    first_running.set_value();
    static_cast<void>(refused.wait_for(std::chrono::seconds(20)));
    refused = {};
  });
  Outcome first;
  std::thread host(
      [&] { first = run_with(1, durations(0, 0.05), flag(), first_reports.callback(), fake()); });
  first_running.get_future().wait();

  auto runtime = fake();
  Reports reports;
  const Outcome second = run_with(2, durations(0, 1), flag(), reports.callback(), runtime);
  second_refused.set_value();
  host.join();
  EXPECT_EQ(second.status, STATUS_FAILED);
  EXPECT_EQ(second.reason, reasons::ALREADY_RUNNING);
  EXPECT_EQ(second.threads, 0u);
  EXPECT_EQ(runtime->cpu_calls() + runtime->spawned().size(), 0u);
  EXPECT_TRUE(reports.all.empty());
  EXPECT_EQ(first.status, STATUS_COMPLETED) << first.reason;

  const Outcome third = run_with(1, durations(0, 1), flag(true), reports.callback(), runtime);
  EXPECT_EQ(third.reason, reasons::CANCELLED_BEFORE_START) << "not admitted after the first run";
}

// Faults that unwind out of the driver once workers exist: the workers are
// stopped and joined (none is left at a closed gate) and the engine is free
// again. A hang here is the failure.
TEST_F(RunWith, AFaultOnTheDriversThreadStillStopsAndJoinsEveryWorker) {
  {
    SCOPED_TRACE("spawn throws");
    auto runtime = fake({.cpus = std::size_t{3}, .spawn_throws_at = 2});
    EXPECT_THROW(static_cast<void>(run_with(
                     2, durations(0, 1), flag(), [](const Progress&) {}, runtime)),
                 std::runtime_error);
    EXPECT_EQ(runtime->kernel_seeds(), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_FALSE(ACTIVE.load());
    EXPECT_TRUE(testing::await_worker_threads());
  }
  {
    SCOPED_TRACE("callback throws");
    Reports reports([](const Progress&) { throw std::logic_error("host broke"); });
    EXPECT_THROW(
        static_cast<void>(run_with(2, durations(10, 10), flag(), reports.callback(), fake())),
        std::logic_error);
    EXPECT_EQ(reports.all.size(), 1u);
  }
}

}  // namespace
}  // namespace tarnwick
