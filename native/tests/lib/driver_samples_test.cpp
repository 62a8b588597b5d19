#include <gtest/gtest.h>

#include <memory>

#include "../support/fake_runtime.hpp"
#include "driver.hpp"
#include "run_support.hpp"

namespace tarnwick {
namespace {

Outcome measure_for(double window) {
  return run_with(
      1, testing::durations(0, window), std::make_shared<CancelFlag>(false), [](const Progress&) {},
      std::make_shared<testing::FakeRuntime>());
}

// A window of exactly one second reaches its first whole second only at its
// end, where the monitor must not sample: only the closing sample remains.
TEST(RunWithSamples, NoneIsTakenAtTheEndOfTheWindow) {
  const Outcome o = measure_for(1.0);
  ASSERT_EQ(o.status, STATUS_COMPLETED) << o.reason;
  ASSERT_EQ(o.samples.size(), 1u);
  EXPECT_EQ(o.samples[0].time, o.measured_seconds);
}

TEST(RunWithSamples, AreTakenOncePerSecondInsideTheWindow) {
  const Outcome o = measure_for(2.2);
  ASSERT_EQ(o.status, STATUS_COMPLETED) << o.reason;
  ASSERT_GE(o.samples.size(), 2u) << "no sample after the first second";
  double last_time = 0.0;
  for (std::size_t i = 0; i + 1 < o.samples.size(); ++i) {
    EXPECT_GE(o.samples[i].time - last_time, 1.0) << i;
    EXPECT_LT(o.samples[i].time, 2.2) << i;
    last_time = o.samples[i].time;
  }
  EXPECT_EQ(o.samples.back().time, o.measured_seconds);
}

}  // namespace
}  // namespace tarnwick
