#include "execute.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "reasons.hpp"

namespace tarnwick {
namespace {

RunRequest request(std::uint32_t benchmark = 2) {
  // The durations differ from the doubles on purpose: only the doubles may
  // come back.
  return RunRequest{benchmark, Durations{{0, 0}, {1, 0}}, 1e-10, 1.000000000000001};
}

struct Recorder {
  std::vector<tarnwick_progress_t> reports;
  static void callback(const tarnwick_progress_t* p, void* user_data) {
    static_cast<Recorder*>(user_data)->reports.push_back(*p);
  }
};

Outcome gathered_outcome(std::uint32_t benchmark, Durations d) {
  Outcome o;
  o.benchmark = benchmark;
  o.warmup_seconds = d.warmup.as_seconds();
  o.measure_seconds = d.measure.as_seconds();
  o.threads = 4;
  o.status = STATUS_COMPLETED;
  o.operations = 64;
  o.samples = {{1.0, 1.0, 64, 64.0}};
  return o;
}

// Each fault also leaves exactly one line on standard error: the thread's
// name and what was caught.
TEST(Execute, AnyFaultBecomesTheFaultOutcome) {
  const std::vector<std::tuple<const char*, RunFunction, std::string>> throwers = {
      {"std exception", [](auto...) -> Outcome { throw std::runtime_error("broken"); }, "broken"},
      {"non-standard payload", [](auto...) -> Outcome { throw 42; }, "unknown fault"},
      {"memory exhaustion", [](auto...) -> Outcome { throw std::bad_alloc(); },
       std::bad_alloc().what()},
      {"after a report",
       [](std::uint32_t, Durations, const std::shared_ptr<CancelFlag>&,
          const ProgressCallback& progress, std::shared_ptr<Runtime>) -> Outcome {
         progress(Progress{0.5, 0.1, 1.0, 80, 4, PHASE_MEASUREMENT});
         throw std::logic_error("invariant");
       },
       "invariant"},
  };
  char thread_name[16] = {};
  ASSERT_EQ(pthread_getname_np(pthread_self(), thread_name, sizeof thread_name), 0);
  const auto flag = std::make_shared<CancelFlag>(false);
  for (const auto& [name, run, what] : throwers) {
    SCOPED_TRACE(name);
    Recorder recorder;
    testing::internal::CaptureStderr();
    const Outcome o = execute(run, request(), flag, Recorder::callback, &recorder);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(thread_name) + ": tarnwick_run: " + what + "\n");
    EXPECT_EQ(o.status, STATUS_FAILED);
    EXPECT_EQ(o.reason, reasons::NATIVE_PANICKED);
    EXPECT_EQ(o.benchmark, 2u);
    EXPECT_EQ(o.threads, 0u);
    EXPECT_TRUE(o.samples.empty());
    EXPECT_EQ(o.operations, 0u);
    EXPECT_FALSE(o.mean_rate.has_value());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(o.warmup_seconds), std::bit_cast<std::uint64_t>(1e-10));
    EXPECT_EQ(o.measure_seconds, 1.000000000000001);
  }
}

TEST(Execute, ForwardsEachReportFieldByFieldWithUserData) {
  const RunFunction run = [](std::uint32_t b, Durations d, const std::shared_ptr<CancelFlag>&,
                             const ProgressCallback& progress, std::shared_ptr<Runtime>) {
    progress(Progress{0.25, 1.5, 2.5, 111, 3, PHASE_WARMUP});
    progress(Progress{1.0, 3.25, 4.0, 222, 3, PHASE_COMPLETED});
    return gathered_outcome(b, d);
  };
  Recorder recorder;
  const Outcome o =
      execute(run, request(), std::make_shared<CancelFlag>(false), Recorder::callback, &recorder);
  ASSERT_EQ(recorder.reports.size(), 2u);
  const tarnwick_progress_t& p = recorder.reports[0];
  EXPECT_EQ(p.phase, PHASE_WARMUP);
  EXPECT_EQ(p.threads, 3u);
  EXPECT_EQ(p.progress, 0.25);
  EXPECT_EQ(p.phase_elapsed, 1.5);
  EXPECT_EQ(p.phase_seconds, 2.5);
  EXPECT_EQ(p.operations, 111u);
  EXPECT_EQ(recorder.reports[1].phase, PHASE_COMPLETED);
  EXPECT_EQ(recorder.reports[1].operations, 222u);
  // The driver's outcome is kept, except for the host's doubles.
  EXPECT_EQ(o.status, STATUS_COMPLETED);
  EXPECT_EQ(o.threads, 4u);
  EXPECT_EQ(o.samples.size(), 1u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(o.warmup_seconds), std::bit_cast<std::uint64_t>(1e-10));
  EXPECT_EQ(o.measure_seconds, 1.000000000000001);
}

TEST(Execute, HandsTheDriverTheRequestTheFlagAndAFreshSystem) {
  const auto flag = std::make_shared<CancelFlag>(false);
  bool ran = false;
  const RunFunction run = [&](std::uint32_t b, Durations d,
                              const std::shared_ptr<CancelFlag>& cancel_flag,
                              const ProgressCallback& progress, std::shared_ptr<Runtime> runtime) {
    ran = true;
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(d.warmup, (Duration{0, 0}));
    EXPECT_EQ(d.measure, (Duration{1, 0}));
    EXPECT_EQ(cancel_flag.get(), flag.get());
    EXPECT_NE(dynamic_cast<System*>(runtime.get()), nullptr);
    EXPECT_EQ(runtime.use_count(), 1);  // ownership passed to the driver
    progress(Progress{});               // a null host callback: nothing to call
    return gathered_outcome(b, d);
  };
  const Outcome o = execute(run, request(1), flag, nullptr, nullptr);
  EXPECT_TRUE(ran);
  EXPECT_EQ(o.status, STATUS_COMPLETED);
}

// A fault raised on the driver's thread while it owns the engine (here from
// its progress callback): the engine must be free again afterwards.
TEST(Execute, FaultInsideTheRealDriverLeavesTheEngineFree) {
  const RunFunction faulty = [](std::uint32_t b, Durations d,
                                const std::shared_ptr<CancelFlag>& cancel_flag,
                                const ProgressCallback&, std::shared_ptr<Runtime> runtime) {
    const ProgressCallback throwing = [](const Progress&) { throw std::runtime_error("host"); };
    return run_with(b, d, cancel_flag, throwing, std::move(runtime));
  };
  const RunRequest r{1, Durations{{0, 0}, {30, 0}}, 0.0, 30.0};
  const Outcome o = execute(faulty, r, std::make_shared<CancelFlag>(false), nullptr, nullptr);
  EXPECT_EQ(o.status, STATUS_FAILED);
  EXPECT_EQ(o.reason, reasons::NATIVE_PANICKED);
  EXPECT_EQ(o.threads, 0u);
  EXPECT_FALSE(ACTIVE.load());

  // Admitted, not "already running": it gets as far as the cancel check.
  const Outcome next = execute(run_with, r, std::make_shared<CancelFlag>(true), nullptr, nullptr);
  EXPECT_EQ(next.status, STATUS_CANCELLED);
  EXPECT_EQ(next.reason, reasons::CANCELLED_BEFORE_START);
  EXPECT_EQ(next.threads, 1u);
}

// Only the library's own faults are contained; a host callback that throws
// breaks the callback's contract and ends the process rather than being
// reported as a failed run.
TEST(ExecuteDeathTest, HostCallbackThatThrowsEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const tarnwick_progress_fn throwing = [](const tarnwick_progress_t*, void*) {
    throw std::runtime_error("thrown by the host");
  };
  const RunRequest r{1, Durations{{0, 0}, {30, 0}}, 0.0, 30.0};
  EXPECT_DEATH(static_cast<void>(
                   execute(run_with, r, std::make_shared<CancelFlag>(false), throwing, nullptr)),
               "thrown by the host");
}

}  // namespace
}  // namespace tarnwick
