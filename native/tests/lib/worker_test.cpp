#include "worker.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "../support/fake_runtime.hpp"

namespace tarnwick {
namespace {

using testing::FakeRuntime;
using testing::FakeScript;

// One worker on a real thread with the records a driver would give it; the
// test plays the driver by hand.
struct Rig {
  explicit Rig(std::size_t index, FakeScript script = {})
      : runtime(std::make_shared<FakeRuntime>(std::move(script))) {
    WorkerContext context{
        channel.sender.clone(), runtime, gate, stop, timing, cancel, counters, index};
    auto spawned = System().spawn(
        index, Task([context = std::move(context)]() mutable { worker_main(std::move(context)); }));
    if (spawned) handle = std::move(spawned).value();
    channel.sender.close();
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;
  // Lets a worker still at the gate go, so a failed check cannot hang the join.
  ~Rig() {
    stop->store(true);
    gate->release();
  }

  [[nodiscard]] bool reported_ready() {
    const Received received = channel.receiver.receive();
    return received.has_value() && received.value().has_value();
  }

  // Publishes a timing `warm_in` and `end_in` seconds from now; opens the gate.
  void open(std::int64_t warm_in, std::int64_t end_in) {
    const Instant at = now();
    timing->set(Timing{at, {at.secs + warm_in, at.nanos}, {at.secs + end_in, at.nanos}});
    gate->release();
  }

  [[nodiscard]] bool await_batches(std::size_t phase) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (counters->phase_ops[phase].load() == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  [[nodiscard]] bool untouched() const {
    return counters->warmup_ops().load() == 0 && counters->measured_ops().load() == 0 &&
           counters->measured_nanos.load() == 0 && counters->checksum.load() == 0;
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

// The value the kernel of `seed` returns on its `steps`-th step.
std::uint64_t value_after(std::uint64_t seed, std::uint64_t steps) {
  auto kernel = System().kernel(seed);
  std::uint64_t value = 0;
  for (std::uint64_t i = 0; i < steps; ++i) value = kernel.value().step();
  return value;
}

TEST(WorkerMain, AKernelFailureIsReportedOnceAndEndsTheWorkerBeforeTheGate) {
  Rig rig(3, {.kernel_fails_for = 3, .kernel_error = "no table"});
  ASSERT_TRUE(rig.handle);
  const Received received = rig.channel.receiver.receive();
  ASSERT_TRUE(received.has_value());
  ASSERT_FALSE(received.value().has_value());
  EXPECT_EQ(received.value().error(), "no table");
  EXPECT_FALSE(rig.channel.receiver.receive().has_value()) << "more than one report";
  EXPECT_TRUE(rig.handle->join()) << "ended without the gate ever opening";
  EXPECT_TRUE(rig.untouched());
}

TEST(WorkerMain, AStopAtTheGateEndsTheWorkerWithoutReadingTheTiming) {
  Rig rig(0);
  ASSERT_TRUE(rig.reported_ready());
  EXPECT_FALSE(rig.channel.receiver.receive().has_value()) << "the sender outlived the report";
  rig.stop->store(true);
  rig.gate->release();  // the cell is empty: reading it would be a fault
  EXPECT_TRUE(rig.handle->join());
  EXPECT_TRUE(rig.untouched());
}

TEST(WorkerMain, FaultsEndTheWorkerAsAFailedJoin) {
  {
    SCOPED_TRACE("gate opened without timing");
    Rig rig(0);
    ASSERT_TRUE(rig.reported_ready());
    ::testing::internal::CaptureStderr();
    rig.gate->release();
    EXPECT_FALSE(rig.handle->join());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("tarnwick-0: "), std::string::npos);
    EXPECT_TRUE(rig.untouched());
  }
  {
    SCOPED_TRACE("kernel step throws");
    Rig rig(1, {.kernel_faults_for = 1});
    ASSERT_TRUE(rig.reported_ready());
    ::testing::internal::CaptureStderr();
    rig.open(0, 3600);
    EXPECT_FALSE(rig.handle->join());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("tarnwick-1: "), std::string::npos);
    EXPECT_TRUE(rig.untouched());
  }
}

TEST(WorkerMain, AWindowAlreadyOverRunsNoBatchButMeasuresToItsClockRead) {
  Rig rig(0);
  ASSERT_TRUE(rig.reported_ready());
  const Instant past{now().secs - 2, 0};
  rig.timing->set(Timing{past, past, past});
  const Instant opened = now();
  rig.gate->release();
  ASSERT_TRUE(rig.handle->join());
  const Instant joined = now();
  EXPECT_EQ(rig.counters->warmup_ops().load() + rig.counters->measured_ops().load(), 0u);
  EXPECT_EQ(rig.counters->checksum.load(), 0u);
  const auto nanos_since_past = [&](Instant to) {
    return saturating_nanos(saturating_since(to, past));
  };
  EXPECT_GE(rig.counters->measured_nanos.load(), nanos_since_past(opened));
  EXPECT_LE(rig.counters->measured_nanos.load(), nanos_since_past(joined));
}

// A worker stopped between batches publishes whole batches of the phase it
// was in, and as checksum the value of exactly its last step.
TEST(WorkerMain, StoppingBetweenBatchesPublishesWholeBatchesAndTheLastValue) {
  const struct {
    const char* name;
    std::int64_t warm_in;
    std::size_t phase;
    bool by_cancel;
  } cases[] = {{"cancel in warm-up", 3600, WARMUP_INDEX, true},
               {"stop in measurement", 0, MEASURED_INDEX, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(2);
    ASSERT_TRUE(rig.reported_ready());
    rig.open(c.warm_in, 7200);
    ASSERT_TRUE(rig.await_batches(c.phase));
    (c.by_cancel ? *rig.cancel : *rig.stop).store(true);
    ASSERT_TRUE(rig.handle->join());
    const std::uint64_t steps = rig.counters->phase_ops[c.phase].load();
    EXPECT_EQ(steps % STEPS_PER_BATCH, 0u);
    EXPECT_EQ(rig.counters->phase_ops[1 - c.phase].load(), 0u);
    EXPECT_EQ(rig.counters->checksum.load(), value_after(2, steps));
    if (c.phase == WARMUP_INDEX) {
      EXPECT_EQ(rig.counters->measured_nanos.load(), 0u) << "stopped before warm_end";
    } else {
      EXPECT_GT(rig.counters->measured_nanos.load(), 0u);
      EXPECT_LT(rig.counters->measured_nanos.load(), 7'200'000'000'000u);
    }
  }
}

}  // namespace
}  // namespace tarnwick
