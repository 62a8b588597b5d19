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

// A hybrid host: version-1 controllers plus a unified hierarchy without the
// cpu controller.
constexpr std::string_view HYBRID_CGROUP = "4:memory:/api/fb\n2:cpuacct:/\n1:cpu:/\n0::/\n";
constexpr std::string_view HYBRID_MOUNTS =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

TEST(ParseProcCgroup, SplitsHierarchyControllersAndPath) {
  const auto lines = parse_proc_cgroup("12:cpu,cpuacct:/docker/abc\n0::/a:b.scope\nbroken\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].hierarchy, "12");
  EXPECT_EQ(lines[0].controllers, (Strings{"cpu", "cpuacct"}));
  EXPECT_EQ(lines[0].path, "/docker/abc");
  EXPECT_EQ(lines[1].hierarchy, "0");
  EXPECT_TRUE(lines[1].controllers.empty());
  EXPECT_EQ(lines[1].path, "/a:b.scope");  // a colon in a group's name stays
}

TEST(ParseMountinfo, ReadsFieldsAroundTheOptionalOnesAndDecodesEscapes) {
  const auto mounts = parse_mountinfo(
      "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw shared:9 master:2 - cgroup cgroup rw,cpu\n"
      "50 31 0:40 /kube\\040pod/c\\134d /mnt/my\\011cg rw - cgroup2 none rw\n"
      "51 31 0:41 /\\09x\\1 /a\\ rw - cgroup2 none rw\n"
      "60 31 0:42 / /no/separator rw cgroup cgroup rw,cpu\n");
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[0].mount_point, "/sys/fs/cgroup/cpu,cpuacct");
  EXPECT_EQ(mounts[0].fs_type, "cgroup");
  EXPECT_EQ(mounts[0].super_options, (Strings{"rw", "cpu"}));
  EXPECT_EQ(mounts[1].root, "/kube pod/c\\d");
  EXPECT_EQ(mounts[1].mount_point, "/mnt/my\tcg");
  // A backslash that does not start three octal digits stays as it is.
  EXPECT_EQ(mounts[2].root, "/\\09x\\1");
  EXPECT_EQ(mounts[2].mount_point, "/a\\");
}

TEST(ParseQuota, GivesWholeCpusOrNoLimit) {
  const std::pair<std::string_view, std::optional<std::uint64_t>> cpu_max[] = {
      {"150000 100000\n", 1}, {"250000 100000", 2}, {"50000 100000\n", 0},
      {"max 100000\n", NONE}, {"100000 0\n", NONE}, {"", NONE},
      {"100000\n", NONE},     {"-5 100000", NONE},  {"18446744073709551616 1", NONE},
  };
  for (const auto& [text, cpus] : cpu_max) EXPECT_EQ(parse_cpu_max(text), cpus) << text;

  const std::tuple<std::string_view, std::string_view, std::optional<std::uint64_t>> cfs[] = {
      {"250000\n", "100000\n", 2}, {"50000", "100000", 0}, {"-1\n", "100000\n", NONE},
      {"100000", "0", NONE},       {"100000", "-5", NONE}, {"abc", "100000", NONE},
  };
  for (const auto& [quota, period, cpus] : cfs)
    EXPECT_EQ(parse_cfs_quota(quota, period), cpus) << quota << "/" << period;
}

TEST(LimitCpus, CapsByTheQuotaButGrantsAtLeastOne) {
  EXPECT_EQ(limit_cpus(3, 2), 2u);  // 2.5 CPUs of quota over an affinity of 3
  EXPECT_EQ(limit_cpus(3, 0), 1u);  // below one CPU
  EXPECT_EQ(limit_cpus(3, NONE), 3u);
  EXPECT_EQ(limit_cpus(2, 8), 2u);
}

TEST(QuotaSources, FindsTheGroupFoldersOfEveryCpuHierarchy) {
  using enum CgroupVersion;
  const struct {
    const char* name;
    std::string_view cgroup, mounts;
    std::vector<std::pair<CgroupVersion, Strings>> expected;
  } cases[] = {
      {"the most specific mount wins",
       "0::/pod/c1\n",
       "2 0 0:1 /pod /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
       "1 0 0:1 / /host rw - cgroup2 cgroup2 rw\n",
       {{V2, {"/sys/fs/cgroup/c1", "/sys/fs/cgroup"}}}},
      {"a root that is only a name prefix",
       "0::/docker/x\n",
       "1 0 0:1 /doc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
       {}},
      {"a group outside the visible part",
       "1:cpu:/../other\n",
       "1 0 0:1 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n",
       {}},
      {"cpuacct is not cpu",
       "2:cpuacct:/a\n",
       "1 0 0:1 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n",
       {}},
      {"no listed mount: the usual places",
       "1:cpu:/g\n0::/\n",
       "",
       {{V1, {"/sys/fs/cgroup/cpu/g", "/sys/fs/cgroup/cpu"}},
        {V1, {"/sys/fs/cgroup/cpu,cpuacct/g", "/sys/fs/cgroup/cpu,cpuacct"}},
        {V2, {"/sys/fs/cgroup"}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<CgroupVersion, Strings>> found;
    for (auto& s : quota_sources(parse_proc_cgroup(c.cgroup), parse_mountinfo(c.mounts)))
      found.emplace_back(s.version, std::move(s.levels));
    EXPECT_EQ(found, c.expected);
  }
}

// The reader over fake trees in a fresh temporary folder. "dir" stands for a
// folder: reading it fails.
TEST(CgroupCpuQuota, ReadsTheSmallestQuotaFromAFileTree) {
  using Files = std::vector<std::pair<std::string, std::string_view>>;
  constexpr std::string_view v2_mount = "1 0 0:1 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
  const struct {
    const char* name;
    Files files;
    std::optional<std::uint64_t> quota;
  } cases[] = {
      {"a unified line without cpu does not hide the version-1 quota",
       {{"/proc/cgroup", HYBRID_CGROUP},
        {"/proc/mountinfo", HYBRID_MOUNTS},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/unified/cgroup.controllers", ""}},
       2},
      {"smallest level from the group up to the mount point, none above it",
       {{"/proc/cgroup", "0::/a/b\n"},
        {"/proc/mountinfo", v2_mount},
        {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "300000 100000\n"},
        {"/sys/fs/cgroup/cpu.max", "400000 100000\n"},
        {"/sys/fs/cpu.max", "100000 100000\n"}},
       3},
      {"smallest over all hierarchies",
       {{"/proc/cgroup", "1:cpu:/\n0::/g\n"},
        {"/proc/mountinfo", HYBRID_MOUNTS},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "800000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/unified/g/cpu.max", "500000 100000\n"}},
       5},
      {"a container's group is found through the mount root",
       {{"/proc/cgroup", "3:cpu,cpuacct:/kube/c9\n"},
        {"/proc/mountinfo", "1 0 0:1 /kube/c9 /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        // where the unstripped path leads: another group
        {"/sys/fs/cgroup/cpu/kube/c9/cpu.cfs_quota_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/kube/c9/cpu.cfs_period_us", "100000\n"}},
       2},
      {"no files at all", {}, NONE},
      {"missing or unreadable quota files",
       {{"/proc/cgroup", "1:cpu:/\n0::/\n"},
        {"/proc/mountinfo", HYBRID_MOUNTS},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"},
        {"/sys/fs/cgroup/unified/cpu.max", "dir"}},
       NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string root = (fs::temp_directory_path() / "tarnwick-cpus-XXXXXX").string();
    ASSERT_NE(mkdtemp(root.data()), nullptr);
    for (const auto& [path, text] : c.files) {
      const fs::path full = root + path;
      fs::create_directories(text == "dir" ? full : full.parent_path());
      if (text != "dir") std::ofstream(full) << text;
    }
    EXPECT_EQ(cgroup_cpu_quota({root + "/proc/cgroup", root + "/proc/mountinfo", root}), c.quota);
    fs::remove_all(root);
  }
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
