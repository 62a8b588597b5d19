#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "kernel.hpp"
#include "runtime.hpp"

namespace tarnwick {
namespace {

std::string own_thread_name() {
  std::ifstream comm("/proc/thread-self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

TEST(SystemSpawn, NamesEachThreadAfterItsIndexWithinFifteenBytes) {
  const struct {
    std::size_t index;
    const char* name;
  } cases[] = {
      {0, "tarnwick-0"},
      {12, "tarnwick-12"},
      {123456, "tarnwick-123456"},
      {1234567, "tarnwick-123456"},  // the system keeps 15 bytes
  };
  System system;
  for (const auto& c : cases) {
    auto seen = std::make_shared<std::string>();
    auto spawned = system.spawn(c.index, Task([seen] { *seen = own_thread_name(); }));
    ASSERT_TRUE(spawned.has_value());
    EXPECT_TRUE(spawned.value()->join());
    EXPECT_EQ(*seen, c.name);
  }
}

TEST(SystemSpawn, GivesEveryWorkerATwoMebibyteStack) {
  auto stack_bytes = std::make_shared<std::size_t>(0);
  auto spawned =
      System().spawn(0, Task([stack_bytes] {
                       pthread_attr_t attr;
                       if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
                       static_cast<void>(pthread_attr_getstacksize(&attr, stack_bytes.get()));
                       pthread_attr_destroy(&attr);
                     }));
  ASSERT_TRUE(spawned.has_value());
  ASSERT_TRUE(spawned.value()->join());
  EXPECT_EQ(*stack_bytes, std::size_t{2} << 20);
}

TEST(SystemSpawn, RunsTheBodyOnceAndReleasesItBeforeTheJoinReturns) {
  auto runs = std::make_shared<int>(0);
  auto spawned = System().spawn(1, Task([runs] { ++*runs; }));
  ASSERT_TRUE(spawned.has_value());
  EXPECT_TRUE(spawned.value()->join());
  EXPECT_EQ(*runs, 1);
  EXPECT_EQ(runs.use_count(), 1) << "the body still holds what it owned";
  EXPECT_TRUE(spawned.value()->join()) << "a second join repeats the first answer";
}

TEST(SystemSpawn, AFaultEndsTheThreadAsAFailedJoinWithADiagnostic) {
  auto owned = std::make_shared<int>(0);
  ::testing::internal::CaptureStderr();
  auto spawned =
      System().spawn(5, Task([owned] { throw std::runtime_error("the kernel broke down"); }));
  ASSERT_TRUE(spawned.has_value());
  const bool joined = spawned.value()->join();
  const std::string diagnostic = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(joined);
  EXPECT_NE(diagnostic.find("tarnwick-5: the kernel broke down"), std::string::npos) << diagnostic;
  EXPECT_EQ(owned.use_count(), 1) << "the faulted body was not released";
}

TEST(SystemSpawn, AHandleDroppedUnjoinedStillWaitsForItsThread) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  {
    auto spawned = System().spawn(0, Task([done] { done->store(true); }));
    ASSERT_TRUE(spawned.has_value());
  }
  EXPECT_TRUE(done->load());
}

TEST(SystemKernel, BuildsTheSeededKernel) {
  for (const std::uint64_t seed : {0u, 1u, 7u}) {
    auto built = System().kernel(seed);
    auto direct = Kernel::new_with_allocator(seed, allocate_table);
    ASSERT_TRUE(built.has_value());
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(built.value().step(), direct.value().step()) << "seed " << seed;
  }
}

}  // namespace
}  // namespace tarnwick
