#include "stats/disturbance.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace tarnwick {
namespace {

TEST(Disturbance, OtherProcessesAgainstTheCpusTheRunLeftFree) {
  const struct {
    std::optional<double> other, steal, cpus;
    double workers;
    bool container;
    bool other_processes, steal_flag, disturbed;
  } cases[] = {
      // 2 CPUs, 2 workers: nothing free, 0.5 tolerated.
      {0.49, 0.0, 2, 2, false, false, false, false},
      {0.51, 0.0, 2, 2, false, true, false, true},
      // 4 CPUs, 1 worker: 3 free, up to 3.5 tolerated.
      {3.49, 0.0, 4, 1, false, false, false, false},
      {3.51, 0.0, 4, 1, false, true, false, true},
      // More workers than CPUs leave none free, never a negative allowance.
      {0.49, 0.0, 2, 8, false, false, false, false},
      {0.6, 0.0, 2, 8, false, true, false, true},
      // Steal on its own, at and above the limit.
      {0.0, 5.0, 2, 2, false, false, false, false},
      {0.0, 5.01, 2, 2, false, false, true, true},
      // In a container the figures are the host's: shown, not acted on.
      {1.7, 9.0, 2, 2, true, true, true, false},
      // Unknown figures are no sign; unknown CPUs leave other time unjudged.
      {std::nullopt, std::nullopt, 2, 2, false, false, false, false},
      {5.0, 0.0, std::nullopt, 1, false, false, false, false},
  };
  for (const auto& item : cases) {
    const Disturbance found =
        judge_disturbance(item.other, item.steal, item.cpus, item.workers, item.container);
    EXPECT_EQ(found.other_processes, item.other_processes) << item.other.value_or(-1);
    EXPECT_EQ(found.steal, item.steal_flag) << item.steal.value_or(-1);
    EXPECT_EQ(found.disturbed(), item.disturbed) << item.other.value_or(-1);
    EXPECT_EQ(found.shown(), item.other_processes || item.steal_flag);
  }
}

TEST(Disturbance, FreeCpusNeverNegative) {
  EXPECT_EQ(free_cpus(4, 1), 3);
  EXPECT_EQ(free_cpus(2, 2), 0);
  EXPECT_EQ(free_cpus(2, 16), 0);
}

}  // namespace
}  // namespace tarnwick
