#include "tarnwick/cgroup.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

// Each quota in whole CPUs (what the library counts) and with its fraction
// (what the program reports); both agree on whether there is a limit.
TEST(ParseQuota, GivesWholeAndFractionalCpusOrNoLimit) {
  using Quota = std::tuple<std::string_view, std::optional<std::uint64_t>, std::optional<double>>;
  const Quota cpu_max[] = {
      {"150000 100000\n", 1, 1.5},
      {"250000 100000", 2, 2.5},
      {"50000 100000\n", 0, 0.5},
      {"max 100000\n", NONE, NONE},
      {"100000 0\n", NONE, NONE},
      {"", NONE, NONE},
      {"100000\n", NONE, NONE},
      {"-5 100000", NONE, NONE},
      {"18446744073709551616 1", NONE, NONE},
  };
  for (const auto& [text, whole, cpus] : cpu_max) {
    EXPECT_EQ(parse_cpu_max(text), whole) << text;
    EXPECT_EQ(parse_cpu_max_cpus(text), cpus) << text;
  }

  const std::tuple<std::string_view, std::string_view, std::optional<std::uint64_t>,
                   std::optional<double>>
      cfs[] = {
          {"250000\n", "100000\n", 2, 2.5}, {"50000", "100000", 0, 0.5},
          {"-1\n", "100000\n", NONE, NONE}, {"100000", "0", NONE, NONE},
          {"100000", "-5", NONE, NONE},     {"abc", "100000", NONE, NONE},
      };
  for (const auto& [quota, period, whole, cpus] : cfs) {
    EXPECT_EQ(parse_cfs_quota(quota, period), whole) << quota << "/" << period;
    EXPECT_EQ(parse_cfs_quota_cpus(quota, period), cpus) << quota << "/" << period;
  }
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
    std::optional<double> cpus;
  } cases[] = {
      {"a unified line without cpu does not hide the version-1 quota",
       {{"/proc/cgroup", HYBRID_CGROUP},
        {"/proc/mountinfo", HYBRID_MOUNTS},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/unified/cgroup.controllers", ""}},
       2,
       2.5},
      {"smallest level from the group up to the mount point, none above it",
       {{"/proc/cgroup", "0::/a/b\n"},
        {"/proc/mountinfo", v2_mount},
        {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "300000 100000\n"},
        {"/sys/fs/cgroup/cpu.max", "400000 100000\n"},
        {"/sys/fs/cpu.max", "100000 100000\n"}},
       3,
       3.0},
      {"smallest over all hierarchies",
       {{"/proc/cgroup", "1:cpu:/\n0::/g\n"},
        {"/proc/mountinfo", HYBRID_MOUNTS},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "800000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/unified/g/cpu.max", "500000 100000\n"}},
       5,
       5.0},
      {"the fraction decides between levels of the same whole count",
       {{"/proc/cgroup", "0::/a/b\n"},
        {"/proc/mountinfo", v2_mount},
        {"/sys/fs/cgroup/a/b/cpu.max", "250000 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "120000 50000\n"}},
       2,
       2.4},
      {"a container's group is found through the mount root",
       {{"/proc/cgroup", "3:cpu,cpuacct:/kube/c9\n"},
        {"/proc/mountinfo", "1 0 0:1 /kube/c9 /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        // where the unstripped path leads: another group
        {"/sys/fs/cgroup/cpu/kube/c9/cpu.cfs_quota_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/kube/c9/cpu.cfs_period_us", "100000\n"}},
       2,
       2.5},
      {"no files at all", {}, NONE, NONE},
      {"missing or unreadable quota files",
       {{"/proc/cgroup", "1:cpu:/\n0::/\n"},
        {"/proc/mountinfo", HYBRID_MOUNTS},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"},
        {"/sys/fs/cgroup/unified/cpu.max", "dir"}},
       NONE,
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
    const CgroupFiles files{root + "/proc/cgroup", root + "/proc/mountinfo", root};
    EXPECT_EQ(cgroup_cpu_quota(files), c.quota);
    EXPECT_EQ(cgroup_cpu_quota_cpus(files), c.cpus);
    fs::remove_all(root);
  }
}

}  // namespace
}  // namespace tarnwick
