#include "cpus.hpp"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reasons.hpp"
#include "runtime.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
constexpr auto NONE = std::nullopt;

TEST(LimitCpus, CapsByTheQuotaButGrantsAtLeastOne) {
  EXPECT_EQ(limit_cpus(3, 2), 2u);  // 2.5 CPUs of quota over an affinity of 3
  EXPECT_EQ(limit_cpus(3, 0), 1u);  // below one CPU
  EXPECT_EQ(limit_cpus(3, NONE), 3u);
  EXPECT_EQ(limit_cpus(2, 8), 2u);
}

OnlineCount scripted_online{};
int online_queries = 0;
OnlineCount ask_online() {
  ++online_queries;
  return scripted_online;
}

TEST(SchedulerCpus, FallsBackToTheOnlineProcessors) {
  const std::string unknown(reasons::UNKNOWN_CPU_COUNT);
  const struct {
    std::size_t affinity;
    OnlineCount online;
    std::optional<std::size_t> cpus;
    std::string error;
    int queries;
  } cases[] = {
      {3, {8, 0}, 3, "", 0},
      {0, {8, 0}, 8, "", 1},
      {0, {-1, EINVAL}, NONE, "Invalid argument (os error 22)", 1},
      {0, {0, 0}, NONE, unknown, 1},
      {0, {-1, 0}, NONE, unknown, 1},  // a failure without a code
  };
  for (const auto& c : cases) {
    scripted_online = c.online;
    online_queries = 0;
    const auto cpus = scheduler_cpus(c.affinity, ask_online);
    EXPECT_EQ(online_queries, c.queries);
    EXPECT_EQ(cpus ? std::optional(cpus.value()) : NONE, c.cpus);
    EXPECT_EQ(cpus ? "" : cpus.error().text, c.error);
  }
}

TEST(AvailableCpus, CountsBetweenOneAndTheOnlineProcessors) {
  const auto cpus = System{}.available_cpus();
  ASSERT_TRUE(cpus.has_value()) << cpus.error().text;
  EXPECT_GE(cpus.value(), 1u);
  EXPECT_LE(cpus.value(), static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN)));
}

}  // namespace
}  // namespace tarnwick
