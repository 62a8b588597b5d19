// The worker count of benchmark 2 against real version-1 control groups, a
// faked version-2 tree in a private mount namespace, and affinity limits.
// Each case runs the library in a probe process placed where the case says.

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cgroup.hpp"
#include "subprocess.hpp"

namespace tarnwick::reliability {
namespace {

const std::string PROBE = TARNWICK_PROBE;
const std::string V1_CPU = "/sys/fs/cgroup/cpu";
constexpr long NO_QUOTA = -1;

// The CPUs this process may run on, in ascending order.
std::vector<std::size_t> allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<std::size_t> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

std::uint32_t affinity_cpus() { return static_cast<std::uint32_t>(allowed_cpus().size()); }

// A taskset prefix that allows the first `count` allowed CPUs.
std::string pinned_to(std::size_t count) {
  const std::vector<std::size_t> cpus = allowed_cpus();
  std::string list;
  for (std::size_t i = 0; i < count && i < cpus.size(); ++i) {
    list += (i == 0 ? "" : ",") + std::to_string(cpus[i]);
  }
  return "taskset -c " + list + " ";
}

// What the library must report for a CPU limit of quota/period on `cpus`.
std::uint32_t expected_workers(std::uint32_t cpus, long quota, long period) {
  if (quota < 0 || period <= 0) return cpus;
  return std::min<std::uint32_t>(
      cpus, std::max<std::uint32_t>(1, static_cast<std::uint32_t>(quota / period)));
}

// The quota the program reports, "none" or fixed-point CPUs as the probe
// prints them.
std::string expected_quota(std::optional<double> cpus) {
  return cpus ? std::to_string(*cpus) : "none";
}

struct Probe {
  int exit_code = -1;
  std::uint32_t threads = 0;
  std::string cgroup;
  std::string quota;
  std::string output;
};

Probe run_probe(const std::string& command) {
  const CommandResult result = run_command(command + " 2>&1");
  Probe probe{result.exit_code, 0, field_of(result.output, "cgroup"),
              field_of(result.output, "quota"), result.output};
  const std::string threads = field_of(result.output, "threads");
  if (!threads.empty()) probe.threads = static_cast<std::uint32_t>(std::stoul(threads));
  if (field_of(result.output, "status") != "1") probe.exit_code = -2;
  return probe;
}

std::string pinned(bool pin) { return pin ? pinned_to(1) : ""; }

class CpuCount : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "creating control groups needs root";
  }
};

struct V1Level {
  long quota;
  long period;
};

struct V1Case {
  const char* name;
  std::vector<V1Level> levels;  // outermost first
  bool pin;                     // restrict the probe to one CPU
};

TEST_F(CpuCount, VersionOneQuotaIsFoundBesideAnEmptyUnifiedLine) {
  if (!std::filesystem::exists(V1_CPU + "/cpu.cfs_quota_us")) {
    GTEST_SKIP() << "no version-1 cpu hierarchy at " << V1_CPU;
  }
  const std::uint32_t cpus = affinity_cpus();
  const V1Case cases[] = {
      {"no quota", {{NO_QUOTA, 100000}}, false},
      {"half a CPU still gives one worker", {{50000, 100000}}, false},
      {"one and a half CPUs", {{150000, 100000}}, false},
      {"two and a half CPUs", {{250000, 100000}}, false},
      {"longer period", {{400000, 200000}}, false},
      {"smallest period", {{1000, 1000}}, false},
      {"quota on the parent only", {{150000, 100000}, {NO_QUOTA, 100000}}, false},
      {"quota on the child only", {{NO_QUOTA, 100000}, {150000, 100000}}, false},
      {"the smaller of two quotas", {{250000, 100000}, {150000, 100000}}, false},
      {"affinity below the quota", {{250000, 100000}}, true},
      {"affinity without a quota", {{NO_QUOTA, 100000}}, true},
  };
  for (const V1Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<ControlGroup>> groups;
    std::string parent = V1_CPU;
    std::uint32_t want = c.pin ? 1 : cpus;
    std::optional<double> want_quota;
    for (const V1Level& level : c.levels) {
      groups.push_back(std::make_unique<ControlGroup>(parent, unique_group_name("tarnwick-cpu")));
      ControlGroup& group = *groups.back();
      if (!group.ok()) GTEST_SKIP() << "cannot create a group under " << parent;
      ASSERT_TRUE(group.write("cpu.cfs_period_us", std::to_string(level.period)));
      ASSERT_TRUE(group.write("cpu.cfs_quota_us", std::to_string(level.quota)));
      want = std::min(want, expected_workers(cpus, level.quota, level.period));
      if (level.quota >= 0) {
        const double share = static_cast<double>(level.quota) / static_cast<double>(level.period);
        want_quota = std::min(want_quota.value_or(share), share);
      }
      parent = group.path();
    }
    const std::string join = "echo $$ > " + shell_quote(parent + "/cgroup.procs") + " && exec " +
                             shell_quote(PROBE) + " cpus";
    const Probe probe = run_probe(pinned(c.pin) + "sh -c " + shell_quote(join));
    ASSERT_EQ(probe.exit_code, 0) << probe.output;
    EXPECT_EQ(probe.cgroup.substr(probe.cgroup.find(":/") + 1), parent.substr(V1_CPU.size()))
        << "the probe did not run in the group";
    EXPECT_EQ(probe.threads, want) << probe.output;
    EXPECT_EQ(probe.quota, expected_quota(want_quota)) << probe.output;
    // Children go first.
    while (!groups.empty()) groups.pop_back();
  }
}

struct V2Case {
  const char* name;
  const char* leaf;          // cpu.max of the process's group, or null for none
  const char* parent;        // cpu.max of its parent, or null for none
  std::uint32_t want_quota;  // 0: unlimited
  std::optional<double> want_cpus;
  bool pin;
};

TEST_F(CpuCount, FakedVersionTwoTreeInAPrivateMountNamespace) {
  const CommandResult unshare = run_command("unshare -m true 2>&1");
  if (unshare.exit_code != 0) GTEST_SKIP() << "no private mount namespace: " << unshare.output;
  const std::uint32_t cpus = affinity_cpus();
  const V2Case cases[] = {
      {"half a CPU", "50000 100000", nullptr, 1, 0.5, false},
      {"no limit", "max 100000", nullptr, 0, std::nullopt, false},
      {"limit on the parent", "max 100000", "150000 100000", 1, 1.5, false},
      {"two and a half CPUs", "250000 100000", "max 100000", 2, 2.5, false},
      {"a zero period sets no limit", "100000 0", nullptr, 0, std::nullopt, false},
      {"no cpu.max files at all", nullptr, nullptr, 0, std::nullopt, false},
      {"affinity below the limit", "250000 100000", nullptr, 2, 2.5, true},
  };
  for (const V2Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Everything happens in the probe's own namespace: the real tree is
    // never touched, and the mounts vanish with the process.
    std::string script =
        "set -e; mount -t tmpfs tarnwick-fake /sys/fs/cgroup; "
        "mkdir -p /sys/fs/cgroup/outer/inner; "
        "echo '0::/outer/inner' > /sys/fs/cgroup/.cgroup; "
        "echo '90 1 0:90 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime - cgroup2 cgroup2 rw'"
        " > /sys/fs/cgroup/.mountinfo; ";
    if (c.leaf != nullptr) {
      script += "echo " + shell_quote(c.leaf) + " > /sys/fs/cgroup/outer/inner/cpu.max; ";
    }
    if (c.parent != nullptr) {
      script += "echo " + shell_quote(c.parent) + " > /sys/fs/cgroup/outer/cpu.max; ";
    }
    script +=
        "mount --bind /sys/fs/cgroup/.cgroup /proc/$$/cgroup; "
        "mount --bind /sys/fs/cgroup/.mountinfo /proc/$$/mountinfo; "
        "exec " +
        shell_quote(PROBE) + " cpus";
    const Probe probe =
        run_probe(pinned(c.pin) + "unshare -m --propagation private sh -c " + shell_quote(script));
    ASSERT_EQ(probe.exit_code, 0) << probe.output;
    ASSERT_EQ(probe.cgroup, "0::/outer/inner") << "the fake was not in place";
    const std::uint32_t limit = c.pin ? 1 : cpus;
    const std::uint32_t want = c.want_quota == 0 ? limit : std::min(limit, c.want_quota);
    EXPECT_EQ(probe.threads, want) << probe.output;
    EXPECT_EQ(probe.quota, expected_quota(c.want_cpus)) << probe.output;
  }
}

TEST(CpuCountAffinity, AffinityAloneLimitsTheWorkers) {
  const Probe free_run = run_probe(shell_quote(PROBE) + " cpus");
  ASSERT_EQ(free_run.exit_code, 0) << free_run.output;
  EXPECT_GE(free_run.threads, 1u);
  EXPECT_LE(free_run.threads, affinity_cpus());

  const Probe one = run_probe(pinned(true) + shell_quote(PROBE) + " cpus");
  ASSERT_EQ(one.exit_code, 0) << one.output;
  EXPECT_EQ(one.threads, 1u);
  if (affinity_cpus() >= 2) {
    const Probe two = run_probe(pinned_to(2) + shell_quote(PROBE) + " cpus");
    ASSERT_EQ(two.exit_code, 0) << two.output;
    EXPECT_EQ(two.threads, std::min<std::uint32_t>(2, free_run.threads));
  }
}

}  // namespace
}  // namespace tarnwick::reliability
