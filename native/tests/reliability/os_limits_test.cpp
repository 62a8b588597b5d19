// A thread-creation failure from the real operating system: a pids control
// group whose limit leaves no room for a worker makes thread creation fail
// with EAGAIN, in a probe process placed in that group.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "cgroup.hpp"
#include "subprocess.hpp"

namespace tarnwick::reliability {
namespace {

const std::string PROBE = TARNWICK_PROBE;
const std::string V1_PIDS = "/sys/fs/cgroup/pids";
const std::string EAGAIN_REASON =
    "cannot start worker: Resource temporarily unavailable (os error 11)";

struct LimitCase {
  const char* name;
  long extra_threads;      // threads allowed beyond those the probe has
  std::uint32_t min_cpus;  // the case needs this many workers to fail
};

TEST(ThreadLimit, PidsGroupMakesWorkerStartFailAndEveryStartedWorkerIsJoined) {
  if (::geteuid() != 0) GTEST_SKIP() << "creating control groups needs root";
  if (!std::filesystem::exists(V1_PIDS + "/cgroup.procs")) {
    GTEST_SKIP() << "no version-1 pids hierarchy at " << V1_PIDS;
  }
  const LimitCase cases[] = {
      {"the first worker cannot start", 0, 1},
      {"the second worker cannot start", 1, 2},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    ControlGroup group(V1_PIDS, unique_group_name("tarnwick-pids"));
    if (!group.ok()) GTEST_SKIP() << "cannot create a group under " << V1_PIDS;
    const CommandResult result =
        run_command(shell_quote(PROBE) + " spawn-limit " + shell_quote(group.path()) + " " +
                    std::to_string(c.extra_threads) + " 2>&1");
    ASSERT_EQ(result.exit_code, 0) << result.output;
    const unsigned long workers = std::stoul(field_of(result.output, "threads"));
    if (workers < c.min_cpus) {
      std::printf("skipped \"%s\": benchmark 2 runs %lu worker(s) here\n", c.name, workers);
      continue;
    }
    EXPECT_EQ(field_of(result.output, "status"), "2") << result.output;
    EXPECT_EQ(field_of(result.output, "reason"), EAGAIN_REASON) << result.output;
    EXPECT_EQ(field_of(result.output, "workers_left"), "0") << result.output;
  }
}

}  // namespace
}  // namespace tarnwick::reliability
