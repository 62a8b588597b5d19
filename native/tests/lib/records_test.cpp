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
#include "timing_cell.hpp"
#include "workers.hpp"

namespace tarnwick {
namespace {

TEST(Counters, EachWorkersCountersOccupyACacheLineOfTheirOwn) {
  std::vector<std::shared_ptr<Counters>> all(8);
  for (auto& c : all) c = std::make_shared<Counters>();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto at = reinterpret_cast<std::uintptr_t>(all[i].get());
    EXPECT_EQ(at % 64, 0u) << i;
    for (std::size_t j = 0; j < i; ++j) {
      const auto other = reinterpret_cast<std::uintptr_t>(all[j].get());
      EXPECT_GE(at > other ? at - other : other - at, 64u) << i << " and " << j;
    }
  }
}

Timing timing_at(std::int64_t secs) { return Timing{{secs, 0}, {secs + 1, 5}, {secs + 2, 7}}; }

TEST(TimingCell, KeepsTheFirstValueAndRefusesASecondAsAFault) {
  TimingCell cell;
  EXPECT_FALSE(cell.get().has_value());
  cell.set(timing_at(10));
  try {
    cell.set(timing_at(20));
    ADD_FAILURE() << "a second value was accepted";
  } catch (const std::logic_error& fault) {
    EXPECT_EQ(std::string(fault.what()), reasons::TIMING_TWICE);
  }
  ASSERT_TRUE(cell.get().has_value());
  EXPECT_EQ(cell.get()->end, timing_at(10).end);
}

TEST(TimingCell, RacingWritersLeaveExactlyOneWholeValue) {
  TimingCell cell;
  std::atomic<int> accepted{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 6; ++i) {
    writers.emplace_back([&, i] {
      try {
        cell.set(timing_at(i * 100));
        accepted.fetch_add(1);
      } catch (const std::logic_error&) {
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(accepted.load(), 1);
  ASSERT_TRUE(cell.get().has_value());
  EXPECT_EQ(cell.get()->end.secs, cell.get()->start.secs + 2);
}

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

TEST(Workers, DestructionJoinsEveryHandleInStartOrderPastAFailedOne) {
  std::vector<int> log;
  {
    Workers workers(std::make_shared<StopFlag>(false), std::make_shared<StartGate>(), 3);
    for (int id = 0; id < 3; ++id)
      workers.push(std::make_unique<RecordingHandle>(log, id, id != 1));
  }
  EXPECT_EQ(log, (std::vector<int>{0, 1, 2}));
}

// Threads still held at a closed gate must be let go when Workers goes, and
// must find the stop flag already set as they pass.
TEST(Workers, DestructionLetsThreadsAtAClosedGateGoStopped) {
  auto stop = std::make_shared<StopFlag>(false);
  auto gate = std::make_shared<StartGate>();
  auto stopped = std::make_shared<std::atomic<int>>(0);
  {
    Workers workers(stop, gate, 3);
    for (std::size_t i = 0; i < 3; ++i) {
      auto spawned = System().spawn(i, Task([stop, gate, stopped] {
                                      gate->wait();
                                      if (stop->load(std::memory_order_relaxed))
                                        stopped->fetch_add(1);
                                    }));
      ASSERT_TRUE(spawned.has_value());
      workers.push(std::move(spawned).value());
    }
  }
  EXPECT_EQ(stopped->load(), 3);
}

}  // namespace
}  // namespace tarnwick
