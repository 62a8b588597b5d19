#include "worker.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "../support/fake_runtime.hpp"
#include "clock.hpp"

namespace tarnwick {
namespace {

using testing::FakeRuntime;
using testing::FakeScript;

// One worker with the records a driver would give it; the test plays the
// driver's part by hand.
struct Rig {
  explicit Rig(FakeScript script = {})
      : runtime(std::make_shared<FakeRuntime>(std::move(script))) {}
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;
  // Lets a worker still at the gate go, so a failed check cannot hang the join.
  ~Rig() {
    stop->store(true);
    gate->release();
  }

  // Starts worker `index` on a real thread and gives up the rig's own sender.
  void start(std::size_t index) {
    WorkerContext context{
        channel.sender.clone(), runtime, gate, stop, timing, cancel, counters, index};
    auto spawned = System().spawn(
        index, Task([context = std::move(context)]() mutable { worker_main(std::move(context)); }));
    ASSERT_TRUE(spawned.has_value());
    handle = std::move(spawned).value();
    channel.sender.close();
  }

  // Publishes a timing relative to now, in whole seconds, and opens the gate.
  void open(std::int64_t warm_end_in, std::int64_t end_in) {
    const Instant at = now();
    timing->set(Timing{at, {at.secs + warm_end_in, at.nanos}, {at.secs + end_in, at.nanos}});
    gate->release();
  }

  // Waits until the worker has counted at least one batch in `phase`.
  [[nodiscard]] bool await_batches(std::size_t phase) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (counters->phase_ops[phase].load(std::memory_order_relaxed) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  std::shared_ptr<FakeRuntime> runtime;
  std::shared_ptr<StartGate> gate = std::make_shared<StartGate>();
  std::shared_ptr<StopFlag> stop = std::make_shared<StopFlag>(false);
  std::shared_ptr<TimingCell> timing = std::make_shared<TimingCell>();
  std::shared_ptr<CancelFlag> cancel = std::make_shared<CancelFlag>(false);
  std::shared_ptr<Counters> counters = std::make_shared<Counters>();
  ReadyChannel channel = make_ready_channel();
  std::unique_ptr<JoinHandle> handle;
};

bool reported_ready(Rig& rig) {
  const Received received = rig.channel.receiver.receive();
  return received.has_value() && received.value().has_value();
}

// The value the kernel of `seed` returns on its `steps`-th step.
std::uint64_t value_after(std::uint64_t seed, std::uint64_t steps) {
  auto kernel = System().kernel(seed);
  std::uint64_t value = 0;
  for (std::uint64_t i = 0; i < steps; ++i) value = kernel.value().step();
  return value;
}

void expect_untouched(const Counters& c) {
  EXPECT_EQ(c.phase_ops[WARMUP_INDEX].load(), 0u);
  EXPECT_EQ(c.phase_ops[MEASURED_INDEX].load(), 0u);
  EXPECT_EQ(c.measured_nanos.load(), 0u);
  EXPECT_EQ(c.checksum.load(), 0u);
}

TEST(WorkerMain, AKernelFailureIsReportedOnceAndTheWorkerEndsWithoutTheGate) {
  FakeScript script;
  script.kernel_fails_for = 3;
  script.kernel_error = "no table";
  Rig rig(script);
  rig.start(3);
  const Received received = rig.channel.receiver.receive();
  ASSERT_TRUE(received.has_value());
  ASSERT_FALSE(received.value().has_value());
  EXPECT_EQ(received.value().error(), "no table");
  EXPECT_FALSE(rig.channel.receiver.receive().has_value()) << "more than one report";
  EXPECT_TRUE(rig.handle->join()) << "the gate was never opened, yet the worker must end";
  expect_untouched(*rig.counters);
  EXPECT_EQ(rig.runtime->kernel_seeds(), (std::vector<std::uint64_t>{3}));
}

TEST(WorkerMain, AStopAtTheGateEndsTheWorkerWithoutReadingTheTiming) {
  Rig rig;
  rig.start(0);
  ASSERT_TRUE(reported_ready(rig));
  EXPECT_FALSE(rig.channel.receiver.receive().has_value()) << "the sender outlived the report";
  rig.stop->store(true);
  rig.gate->release();  // with the cell empty: reading it would fault
  EXPECT_TRUE(rig.handle->join());
  expect_untouched(*rig.counters);
}

TEST(WorkerMain, AWorkerNobodyListensToStillObeysTheGate) {
  Rig rig;
  { const ReadyReceiver gone = std::move(rig.channel.receiver); }
  rig.start(0);
  rig.stop->store(true);
  rig.gate->release();
  EXPECT_TRUE(rig.handle->join());
  expect_untouched(*rig.counters);
}

TEST(WorkerMain, AnOpenGateWithoutTimingIsAFault) {
  Rig rig;
  rig.start(0);
  ASSERT_TRUE(reported_ready(rig));
  ::testing::internal::CaptureStderr();
  rig.gate->release();
  const bool joined = rig.handle->join();
  const std::string diagnostic = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(joined);
  EXPECT_NE(diagnostic.find("tarnwick-0: "), std::string::npos) << diagnostic;
  expect_untouched(*rig.counters);
}

TEST(WorkerMain, AWindowAlreadyOverRunsNoBatchButMeasuresToItsClockRead) {
  Rig rig;
  rig.start(0);
  ASSERT_TRUE(reported_ready(rig));
  const Instant past{now().secs - 2, 0};
  rig.timing->set(Timing{past, past, past});
  const Instant opened = now();
  rig.gate->release();
  ASSERT_TRUE(rig.handle->join());
  const Instant joined = now();
  EXPECT_EQ(rig.counters->warmup_ops().load(), 0u);
  EXPECT_EQ(rig.counters->measured_ops().load(), 0u);
  EXPECT_EQ(rig.counters->checksum.load(), 0u);
  const auto nanos = [&](Instant to) {
    const Duration d = saturating_since(to, past);
    return d.secs * 1'000'000'000u + d.nanos;
  };
  EXPECT_GE(rig.counters->measured_nanos.load(), nanos(opened));
  EXPECT_LE(rig.counters->measured_nanos.load(), nanos(joined));
}

TEST(WorkerMain, ACancelDuringWarmUpCountsWholeWarmUpBatchesOnly) {
  Rig rig;
  rig.start(2);
  ASSERT_TRUE(reported_ready(rig));
  rig.open(3600, 7200);
  ASSERT_TRUE(rig.await_batches(WARMUP_INDEX));
  rig.cancel->store(true);
  ASSERT_TRUE(rig.handle->join());
  const std::uint64_t steps = rig.counters->warmup_ops().load();
  EXPECT_GT(steps, 0u);
  EXPECT_EQ(steps % STEPS_PER_BATCH, 0u);
  EXPECT_EQ(rig.counters->measured_ops().load(), 0u);
  EXPECT_EQ(rig.counters->measured_nanos.load(), 0u) << "stopped before warm_end";
  EXPECT_EQ(rig.counters->checksum.load(), value_after(2, steps)) << "not the last step's value";
}

TEST(WorkerMain, AStopDuringMeasurementPublishesTheMeasuredSpan) {
  Rig rig;
  rig.start(1);
  ASSERT_TRUE(reported_ready(rig));
  rig.open(0, 3600);
  ASSERT_TRUE(rig.await_batches(MEASURED_INDEX));
  rig.stop->store(true);
  ASSERT_TRUE(rig.handle->join());
  const std::uint64_t steps = rig.counters->measured_ops().load();
  EXPECT_EQ(steps % STEPS_PER_BATCH, 0u);
  EXPECT_EQ(rig.counters->warmup_ops().load(), 0u);
  EXPECT_GT(rig.counters->measured_nanos.load(), 0u);
  EXPECT_LT(rig.counters->measured_nanos.load(), 3'600'000'000'000u);
  EXPECT_EQ(rig.counters->checksum.load(), value_after(1, steps));
}

TEST(WorkerMain, AFaultInTheKernelEndsTheWorkerAsAFailedJoin) {
  FakeScript script;
  script.kernel_faults_for = 0;
  Rig rig(script);
  rig.start(0);
  ASSERT_TRUE(reported_ready(rig)) << "the kernel was built, so the worker is ready";
  ::testing::internal::CaptureStderr();
  rig.open(0, 3600);
  const bool joined = rig.handle->join();
  static_cast<void>(::testing::internal::GetCapturedStderr());
  EXPECT_FALSE(joined);
  expect_untouched(*rig.counters);
}

}  // namespace
}  // namespace tarnwick
