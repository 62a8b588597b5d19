// A fixed amount of work gives one checksum on every architecture: the
// figure that makes a rate measured on one machine comparable with another's.
// The same constants are checked by the x86-64 build and, under emulation, by
// the arm64 build.
#include <gtest/gtest.h>

#include <cstdint>

#include "kernel.hpp"

namespace tarnwick {
namespace {

TEST(FixedRun, TwoWorkersOfTenThousandStepsGiveTheSameChecksumEverywhere) {
  constexpr std::uint64_t STEPS = 10000;
  constexpr std::uint64_t FINAL[] = {0x02b7a01d630b8a25ULL, 0xf9e951f0694445e7ULL};
  std::uint64_t checksum = 0;
  for (std::uint64_t seed = 0; seed < 2; ++seed) {
    Kernel kernel = Kernel::new_with_allocator(seed, allocate_table).value();
    std::uint64_t last = 0;
    for (std::uint64_t i = 0; i < STEPS; ++i) last = kernel.step();
    EXPECT_EQ(last, FINAL[seed]) << "seed " << seed;
    checksum ^= last;
  }
  // The run's checksum is the exclusive-or of its workers' final values.
  EXPECT_EQ(checksum, 0xfb5ef1ed0a4fcfc2ULL);
}

}  // namespace
}  // namespace tarnwick
