#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "counters.hpp"
#include "reasons.hpp"
#include "runtime.hpp"
#include "start_gate.hpp"
#include "timing_cell.hpp"
#include "workers.hpp"

namespace tarnwick {
namespace {

TEST(Counters, EachWorkersCountersStartACacheLineOfTheirOwn) {
  std::vector<std::shared_ptr<Counters>> all;
  for (int i = 0; i < 8; ++i) all.push_back(std::make_shared<Counters>());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto at = reinterpret_cast<std::uintptr_t>(all[i].get());
    EXPECT_EQ(at % 64, 0u) << "counters " << i;
    for (std::size_t j = 0; j < i; ++j) {
      const auto other = reinterpret_cast<std::uintptr_t>(all[j].get());
      EXPECT_GE(at > other ? at - other : other - at, 64u) << i << " and " << j << " share a line";
    }
  }
}

TEST(Counters, StartAtZeroAndSelectThePhaseByIndex) {
  Counters c;
  c.phase_ops[WARMUP_INDEX].fetch_add(8);
  c.phase_ops[MEASURED_INDEX].fetch_add(16);
  EXPECT_EQ(c.warmup_ops().load(), 8u);
  EXPECT_EQ(c.measured_ops().load(), 16u);
  EXPECT_EQ(c.measured_nanos.load(), 0u);
  EXPECT_EQ(c.checksum.load(), 0u);
}

Timing timing_at(std::int64_t secs) { return Timing{{secs, 0}, {secs + 1, 5}, {secs + 2, 7}}; }

TEST(TimingCell, HoldsTheFirstValueAndRefusesASecond) {
  TimingCell cell;
  EXPECT_FALSE(cell.get().has_value());
  cell.set(timing_at(10));
  try {
    cell.set(timing_at(20));
    ADD_FAILURE() << "a second value was accepted";
  } catch (const std::logic_error& fault) {
    EXPECT_EQ(std::string(fault.what()), reasons::TIMING_TWICE);
  }
  const auto held = cell.get();
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->start, timing_at(10).start);
  EXPECT_EQ(held->warm_end, timing_at(10).warm_end);
  EXPECT_EQ(held->end, timing_at(10).end);
}

TEST(TimingCell, RacingWritersLeaveExactlyOneValue) {
  TimingCell cell;
  std::atomic<int> accepted{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 6; ++i) {
    writers.emplace_back([&, i] {
      try {
        cell.set(timing_at(i));
        accepted.fetch_add(1);
      } catch (const std::logic_error&) {
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(accepted.load(), 1);
  const auto held = cell.get();
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->warm_end.secs, held->start.secs + 1);
}

TEST(StartGate, WaitersPassOnlyOnceOpenedAndSeeWhatCameBefore) {
  StartGate gate;
  bool published = false;  // plain: only the gate orders it for the waiters
  std::atomic<int> saw_published{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      gate.wait();
      if (published) saw_published.fetch_add(1);
    });
  }
  published = true;
  gate.release();
  gate.release();  // opening an open gate is harmless
  for (auto& w : waiters) w.join();
  EXPECT_EQ(saw_published.load(), 4);
  gate.wait();  // an open gate does not block
}

// A handle that only records when it is joined.
class RecordingHandle final : public JoinHandle {
 public:
  RecordingHandle(std::vector<int>& log, int id, bool ok) : log_(log), id_(id), ok_(ok) {}
  bool join() override {
    log_.push_back(id_);
    return ok_;
  }

 private:
  std::vector<int>& log_;
  int id_;
  bool ok_;
};

TEST(Workers, DestructionWithoutHandlesStopsAndOpensTheGate) {
  auto stop = std::make_shared<StopFlag>(false);
  auto gate = std::make_shared<StartGate>();
  { const Workers workers(stop, gate, 0); }
  EXPECT_TRUE(stop->load());
  gate->wait();  // would block forever on a closed gate
}

TEST(Workers, DestructionJoinsEveryHandleInStartOrderPastAFailedOne) {
  std::vector<int> log;
  {
    Workers workers(std::make_shared<StopFlag>(false), std::make_shared<StartGate>(), 3);
    workers.push(std::make_unique<RecordingHandle>(log, 0, true));
    workers.push(std::make_unique<RecordingHandle>(log, 1, false));
    workers.push(std::make_unique<RecordingHandle>(log, 2, true));
  }
  EXPECT_EQ(log, (std::vector<int>{0, 1, 2}));
}

TEST(Workers, HandlesTakenOutAreNotJoinedAgain) {
  std::vector<int> log;
  {
    Workers workers(std::make_shared<StopFlag>(false), std::make_shared<StartGate>(), 2);
    workers.push(std::make_unique<RecordingHandle>(log, 0, true));
    workers.push(std::make_unique<RecordingHandle>(log, 1, true));
    auto taken = workers.take_handles();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_TRUE(taken[1]->join());
  }
  EXPECT_EQ(log, (std::vector<int>{1}));
}

// Threads held at a closed gate must be let go when Workers goes, and must
// find the stop flag already set when they pass.
TEST(Workers, DestructionReleasesThreadsHeldAtAClosedGate) {
  auto stop = std::make_shared<StopFlag>(false);
  auto gate = std::make_shared<StartGate>();
  auto stopped_at_gate = std::make_shared<std::atomic<int>>(0);
  System system;
  {
    Workers workers(stop, gate, 3);
    for (std::size_t i = 0; i < 3; ++i) {
      auto spawned = system.spawn(i, Task([stop, gate, stopped_at_gate] {
                                    gate->wait();
                                    if (stop->load(std::memory_order_relaxed))
                                      stopped_at_gate->fetch_add(1);
                                  }));
      ASSERT_TRUE(spawned.has_value());
      workers.push(std::move(spawned).value());
    }
  }
  EXPECT_EQ(stopped_at_gate->load(), 3);
}

}  // namespace
}  // namespace tarnwick
