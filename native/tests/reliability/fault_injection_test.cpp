// Every Runtime operation failing or faulting in turn, for one, two and four
// workers, through run_with and through execute: each run must end with its
// exact reason, with every started worker joined and the engine free for the
// next run.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/fake_runtime.hpp"
#include "driver.hpp"
#include "execute.hpp"
#include "process_state.hpp"
#include "ready_channel.hpp"
#include "reasons.hpp"
#include "start_gate.hpp"
#include "timing_cell.hpp"
#include "worker.hpp"
#include "worker_context.hpp"
#include "workers.hpp"

namespace tarnwick::reliability {
namespace {

using tarnwick::testing::FakeRuntime;
using tarnwick::testing::FakeScript;

constexpr std::size_t WORKER_COUNTS[] = {1, 2, 4};
const std::string EAGAIN_TEXT = "Resource temporarily unavailable (os error 11)";

// Faults injected by the running test; each test reports its count.
unsigned injected = 0;

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override { injected = 0; }
  void TearDown() override { std::printf("%u faults injected\n", injected); }
};

struct ScriptedRun {
  std::shared_ptr<FakeRuntime> fake;
  std::vector<std::uint32_t> phases;  // of every progress report
};

Durations window(std::uint64_t warmup_ms, std::uint64_t measure_ms) {
  const auto ms = [](std::uint64_t n) {
    return Duration{n / 1000, static_cast<std::uint32_t>(n % 1000 * 1'000'000)};
  };
  return Durations{ms(warmup_ms), ms(measure_ms)};
}

// run_with on `workers` CPUs of a scripted runtime (benchmark 2), keeping
// the phases the callback saw. `on_report` may throw.
Outcome run_scripted(ScriptedRun& run, std::size_t workers, FakeScript script,
                     Durations durations = window(0, 50),
                     const std::function<void(const Progress&)>& on_report = {}) {
  if (std::holds_alternative<std::size_t>(script.cpus)) script.cpus = workers;
  run.fake = std::make_shared<FakeRuntime>(std::move(script));
  const ProgressCallback callback = [&run, &on_report](const Progress& p) {
    run.phases.push_back(p.phase);
    if (on_report) on_report(p);
  };
  ++injected;
  return run_with(2, durations, std::make_shared<CancelFlag>(false), callback, run.fake);
}

std::vector<std::size_t> first(std::size_t n) {
  std::vector<std::size_t> indices(n);
  for (std::size_t i = 0; i < n; ++i) indices[i] = i;
  return indices;
}

std::vector<std::uint64_t> seeds_below(std::size_t n) {
  std::vector<std::uint64_t> seeds(n);
  for (std::size_t i = 0; i < n; ++i) seeds[i] = i;
  return seeds;
}

// What must hold after any run, however it ended.
void expect_clean_exit() {
  EXPECT_EQ(settled_worker_threads(), 0u) << "a started worker was not joined";
  EXPECT_FALSE(ACTIVE.load()) << "the engine is still marked busy";
}

// A run after the fault, on a healthy runtime, is admitted and completes.
void expect_next_run_completes() {
  ScriptedRun run;
  // Long enough for a batch on a loaded machine.
  const Outcome outcome = run_scripted(run, 2, FakeScript{}, window(0, 300));
  --injected;  // no fault in this one
  EXPECT_EQ(outcome.status, STATUS_COMPLETED) << outcome.reason;
  expect_clean_exit();
}

TEST_F(FaultInjection, CpuCountFailureStartsNoWorker) {
  const SystemError errors[] = {SystemError::from_code(ENOSYS),
                                SystemError::message(std::string(reasons::UNKNOWN_CPU_COUNT))};
  for (const SystemError& error : errors) {
    SCOPED_TRACE(error.text);
    ScriptedRun run;
    FakeScript script;
    script.cpus = error;
    const Outcome outcome = run_scripted(run, 0, script);
    EXPECT_EQ(outcome.status, STATUS_FAILED);
    EXPECT_EQ(outcome.reason, std::string(reasons::NO_CPU_COUNT) + error.text);
    EXPECT_EQ(outcome.threads, 0u);
    EXPECT_TRUE(run.fake->spawned().empty());
    EXPECT_TRUE(run.phases.empty());
    expect_clean_exit();
  }
  expect_next_run_completes();
}

TEST_F(FaultInjection, SpawnFailureAtEveryIndexJoinsTheWorkersBeforeIt) {
  for (const std::size_t workers : WORKER_COUNTS) {
    for (std::size_t k = 0; k < workers; ++k) {
      SCOPED_TRACE(std::to_string(workers) + " workers, spawn " + std::to_string(k) + " fails");
      ScriptedRun run;
      FakeScript script;
      script.spawn_fails_at = k;
      const Outcome outcome = run_scripted(run, workers, script);
      EXPECT_EQ(outcome.status, STATUS_FAILED);
      EXPECT_EQ(outcome.reason, std::string(reasons::CANNOT_START_WORKER) + EAGAIN_TEXT);
      EXPECT_EQ(outcome.threads, workers);
      EXPECT_EQ(run.fake->spawned(), first(k + 1)) << "no spawn after the failed one";
      // The workers started before it built their kernels and were joined.
      EXPECT_EQ(run.fake->kernel_seeds(), seeds_below(k));
      EXPECT_TRUE(run.phases.empty());
      EXPECT_EQ(outcome.operations, 0u);
      expect_clean_exit();
    }
  }
  expect_next_run_completes();
}

TEST_F(FaultInjection, SpawnThrowingAtEveryIndexUnwindsWithTheGateOpened) {
  for (const std::size_t workers : WORKER_COUNTS) {
    for (std::size_t k = 0; k < workers; ++k) {
      SCOPED_TRACE(std::to_string(workers) + " workers, spawn " + std::to_string(k) + " throws");
      ScriptedRun run;
      FakeScript script;
      script.spawn_throws_at = k;
      // The k workers already started wait at a closed gate: unwinding must
      // open it, or the joins on the way out never return.
      EXPECT_THROW(static_cast<void>(run_scripted(run, workers, script)), std::runtime_error);
      EXPECT_EQ(run.fake->spawned(), first(k + 1));
      EXPECT_TRUE(run.phases.empty());
      expect_clean_exit();
    }
  }
  expect_next_run_completes();
}

TEST_F(FaultInjection, KernelFailureAtEveryIndexReportsItsText) {
  for (const std::size_t workers : WORKER_COUNTS) {
    for (std::size_t k = 0; k < workers; ++k) {
      SCOPED_TRACE(std::to_string(workers) + " workers, kernel " + std::to_string(k) + " fails");
      ScriptedRun run;
      FakeScript script;
      script.kernel_fails_for = k;
      const Outcome outcome = run_scripted(run, workers, script);
      EXPECT_EQ(outcome.status, STATUS_FAILED);
      EXPECT_EQ(outcome.reason, std::string(reasons::WORKER_INIT_FAILED) + "Ok(Err(\"abc\"))");
      EXPECT_EQ(outcome.threads, workers);
      EXPECT_EQ(run.fake->spawned(), first(workers));
      EXPECT_TRUE(run.phases.empty());
      expect_clean_exit();
    }
  }
  // The text is rendered escaped, whatever bytes it holds.
  ScriptedRun run;
  FakeScript script;
  script.kernel_fails_for = 0;
  script.kernel_error = std::string("q\"b\\t\tr\rn\nz\0c\x01", 14);
  const Outcome outcome = run_scripted(run, 1, script);
  EXPECT_EQ(outcome.reason,
            std::string(reasons::WORKER_INIT_FAILED) + R"(Ok(Err("q\"b\\t\tr\rn\nz\0c\u{1}")))");
  expect_clean_exit();
  expect_next_run_completes();
}

TEST_F(FaultInjection, KernelFaultAtEveryIndexEndsTheHandshake) {
  for (const std::size_t workers : WORKER_COUNTS) {
    for (std::size_t k = 0; k < workers; ++k) {
      SCOPED_TRACE(std::to_string(workers) + " workers, kernel " + std::to_string(k) + " throws");
      ScriptedRun run;
      FakeScript script;
      script.kernel_throws_for = k;
      const Outcome outcome = run_scripted(run, workers, script);
      EXPECT_EQ(outcome.status, STATUS_FAILED);
      // The faulting worker never reports; every other one does and leaves.
      EXPECT_EQ(outcome.reason, std::string(reasons::WORKER_INIT_FAILED) + "Err(RecvError)");
      EXPECT_EQ(outcome.threads, workers);
      EXPECT_TRUE(run.phases.empty());
      expect_clean_exit();
    }
  }
  expect_next_run_completes();
}

TEST_F(FaultInjection, WorkerFaultMidRunIsReportedAfterTheWindow) {
  for (const std::size_t workers : WORKER_COUNTS) {
    for (std::size_t k = 0; k < workers; ++k) {
      SCOPED_TRACE(std::to_string(workers) + " workers, worker " + std::to_string(k) + " faults");
      ScriptedRun run;
      FakeScript script;
      script.kernel_faults_for = k;
      // The faulting worker must be scheduled for its first step before the
      // window ends: half a second holds on a heavily loaded machine.
      const Outcome outcome = run_scripted(run, workers, script, window(0, 500));
      EXPECT_EQ(outcome.status, STATUS_FAILED);
      EXPECT_EQ(outcome.reason, reasons::WORKER_PANICKED);
      EXPECT_EQ(outcome.threads, workers);
      EXPECT_FALSE(outcome.mean_rate.has_value());
      ASSERT_FALSE(run.phases.empty());
      EXPECT_EQ(run.phases.back(), PHASE_FAILED);
      expect_clean_exit();
    }
  }
  expect_next_run_completes();
}

TEST_F(FaultInjection, ProgressCallbackFaultUnwindsAfterJoiningEveryWorker) {
  struct Moment {
    const char* name;
    std::function<bool(const Progress&, std::size_t call)> throws_at;
  };
  const Moment moments[] = {
      {"first report", [](const Progress&, std::size_t call) { return call == 1; }},
      {"change to measurement", [](const Progress& p, std::size_t) { return p.phase == 2; }},
      {"final report", [](const Progress& p, std::size_t) { return p.phase >= 3; }},
  };
  for (const std::size_t workers : WORKER_COUNTS) {
    for (const Moment& moment : moments) {
      SCOPED_TRACE(std::to_string(workers) + " workers, fault at the " + moment.name);
      ScriptedRun run;
      std::size_t calls = 0;
      const auto on_report = [&](const Progress& p) {
        if (moment.throws_at(p, ++calls)) throw std::runtime_error("callback broke");
      };
      EXPECT_THROW(
          static_cast<void>(run_scripted(run, workers, FakeScript{}, window(30, 30), on_report)),
          std::runtime_error);
      EXPECT_GE(calls, 1u);
      expect_clean_exit();
    }
  }
  expect_next_run_completes();
}

// The host's doubles, the benchmark and the fault reason; nothing gathered.
void expect_fault_outcome(const Outcome& outcome, const RunRequest& request) {
  EXPECT_EQ(outcome.status, STATUS_FAILED);
  EXPECT_EQ(outcome.reason, reasons::NATIVE_PANICKED);
  EXPECT_EQ(outcome.benchmark, request.benchmark);
  EXPECT_EQ(outcome.threads, 0u);
  EXPECT_TRUE(outcome.samples.empty());
  EXPECT_EQ(outcome.operations, 0u);
  EXPECT_EQ(outcome.warmup_seconds, request.warmup_seconds);
  EXPECT_EQ(outcome.measure_seconds, request.measure_seconds);
}

TEST_F(FaultInjection, ExecuteContainsEveryFaultOfTheRun) {
  const RunRequest request{2, window(30, 30), 0.03, 0.03};
  struct Case {
    const char* name;
    std::function<FakeScript(std::size_t workers)> script;
    bool callback_throws;
  };
  const Case cases[] = {
      {"the last spawn throws",
       [](std::size_t workers) {
         FakeScript script;
         script.spawn_throws_at = workers - 1;
         return script;
       },
       false},
      {"the callback throws", [](std::size_t) { return FakeScript{}; }, true},
      {"a worker faults, then the callback",
       [](std::size_t) {
         FakeScript script;
         script.kernel_faults_for = 0;
         return script;
       },
       true},
  };
  for (const std::size_t workers : WORKER_COUNTS) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(workers) + " workers, " + c.name);
      ScriptedRun run;
      // The host callback of the C interface cannot throw; a run function
      // that wraps the driver stands in for any fault raised inside it.
      const RunFunction faulty = [&](std::uint32_t benchmark, Durations durations,
                                     const std::shared_ptr<CancelFlag>& cancel,
                                     const ProgressCallback& sink, std::shared_ptr<Runtime>) {
        FakeScript script = c.script(workers);
        script.cpus = workers;
        run.fake = std::make_shared<FakeRuntime>(script);
        const ProgressCallback callback = [&](const Progress& p) {
          sink(p);
          if (c.callback_throws) throw std::logic_error("callback broke");
        };
        ++injected;
        return run_with(benchmark, durations, cancel, callback, run.fake);
      };
      const Outcome outcome =
          execute(faulty, request, std::make_shared<CancelFlag>(false), nullptr, nullptr);
      expect_fault_outcome(outcome, request);
      expect_clean_exit();
    }
  }
  const RunFunction throws_at_once = [](std::uint32_t, Durations,
                                        const std::shared_ptr<CancelFlag>&, const ProgressCallback&,
                                        std::shared_ptr<Runtime>) -> Outcome {
    ++injected;
    throw std::bad_alloc();
  };
  expect_fault_outcome(
      execute(throws_at_once, request, std::make_shared<CancelFlag>(false), nullptr, nullptr),
      request);
  expect_clean_exit();
  expect_next_run_completes();
}

// A second publication of the run's timing is a broken invariant that
// unwinds between the readiness handshake and the opening of the gate. The
// driver's own records are assembled here as the driver assembles them, with
// real workers waiting at the gate, and the fault raised at that point.
TEST_F(FaultInjection, SecondTimingPublicationUnwindsWithTheGateOpened) {
  for (const std::size_t workers : WORKER_COUNTS) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    const auto runtime = std::make_shared<System>();
    const auto gate = std::make_shared<StartGate>();
    const auto stop = std::make_shared<StopFlag>(false);
    const auto cell = std::make_shared<TimingCell>();
    const auto cancel = std::make_shared<CancelFlag>(false);
    std::vector<std::shared_ptr<Counters>> counters;
    std::string fault;
    try {
      ReadyChannel channel = make_ready_channel();
      Workers started(stop, gate, workers);
      for (std::size_t index = 0; index < workers; ++index) {
        counters.push_back(std::make_shared<Counters>());
        WorkerContext context{channel.sender.clone(), runtime, gate, stop, cell, cancel,
                              counters.back(),        index};
        auto spawned = runtime->spawn(index, Task([context = std::move(context)]() mutable {
                                        worker_main(std::move(context));
                                      }));
        ASSERT_TRUE(spawned);
        started.push(std::move(spawned).value());
      }
      channel.sender.close();
      for (std::size_t ready = 0; ready < workers; ++ready) {
        const Received received = channel.receiver.receive();
        ASSERT_TRUE(received && received.value());
      }
      const Instant at = now();
      ++injected;
      cell->set(Timing{at, at, at});
      cell->set(Timing{at, at, at});
      gate->release();
    } catch (const std::logic_error& e) {
      fault = e.what();
    }
    EXPECT_EQ(fault, reasons::TIMING_TWICE);
    EXPECT_TRUE(stop->load()) << "the workers were not told to stop";
    for (const auto& c : counters) {
      EXPECT_EQ(c->warmup_ops().load() + c->measured_ops().load(), 0u)
          << "a worker ran although the run had failed";
    }
    expect_clean_exit();
  }
}

}  // namespace
}  // namespace tarnwick::reliability
