#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "runtime.hpp"

namespace tarnwick {
namespace {

TEST(SystemSpawn, NamesEachThreadAfterItsIndexWithinFifteenBytes) {
  const struct {
    std::size_t index;
    const char* name;
  } cases[] = {{0, "tarnwick-0"}, {12, "tarnwick-12"}, {1234567, "tarnwick-123456"}};
  for (const auto& c : cases) {
    auto seen = std::make_shared<std::string>();
    auto spawned = System().spawn(c.index, Task([seen] {
                                    std::ifstream comm("/proc/thread-self/comm");
                                    std::getline(comm, *seen);
                                  }));
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

TEST(SystemSpawn, AFaultEndsTheThreadAsAFailedJoinWithADiagnostic) {
  auto owned = std::make_shared<int>(0);
  ::testing::internal::CaptureStderr();
  auto spawned = System().spawn(5, Task([owned] { throw std::runtime_error("it broke down"); }));
  ASSERT_TRUE(spawned.has_value());
  const bool joined = spawned.value()->join();
  const std::string diagnostic = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(joined);
  EXPECT_NE(diagnostic.find("tarnwick-5: it broke down"), std::string::npos) << diagnostic;
  EXPECT_EQ(owned.use_count(), 1) << "the faulted body was not released";
}

}  // namespace
}  // namespace tarnwick
