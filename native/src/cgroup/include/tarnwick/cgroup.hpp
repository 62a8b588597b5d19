#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The CPU quota that the control groups of a process impose, read the way the
// library counts the CPUs it may use. The parsers take file contents so they
// can be checked without the files; one reader ties them to a file tree.
// Both the library and the program link this, so the quota the program
// reports is the one the library obeys.
namespace tarnwick {

// One line of /proc/<pid>/cgroup: "hierarchy-id:controllers:path". The
// unified (version 2) hierarchy has id "0" and no controllers.
struct CgroupLine {
  std::string hierarchy;
  std::vector<std::string> controllers;
  std::string path;
};

// Lines that do not have the three fields are skipped.
[[nodiscard]] std::vector<CgroupLine> parse_proc_cgroup(std::string_view text);

// The fields of one /proc/<pid>/mountinfo line that locate a cgroup
// hierarchy. `root` and `mount_point` have their octal escapes (\040 for a
// space, ...) decoded.
struct MountLine {
  std::string root;
  std::string mount_point;
  std::string fs_type;
  std::vector<std::string> super_options;
};

// Lines without the " - " separator or with too few fields are skipped.
[[nodiscard]] std::vector<MountLine> parse_mountinfo(std::string_view text);

// Whole CPUs granted by a version-2 "cpu.max" ("150000 100000" gives 1), or
// nothing when it sets no limit ("max ...", a zero period, unreadable text).
[[nodiscard]] std::optional<std::uint64_t> parse_cpu_max(std::string_view text);
// The same quota in CPUs, fraction kept ("150000 100000" gives 1.5).
[[nodiscard]] std::optional<double> parse_cpu_max_cpus(std::string_view text);

// Whole CPUs granted by the version-1 "cpu.cfs_quota_us" and
// "cpu.cfs_period_us" contents, or nothing when they set no limit (a negative
// quota such as -1, a zero period, unreadable text).
[[nodiscard]] std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota,
                                                           std::string_view period);
// The same quota in CPUs, fraction kept.
[[nodiscard]] std::optional<double> parse_cfs_quota_cpus(std::string_view quota,
                                                         std::string_view period);

enum class CgroupVersion { V1, V2 };

// A hierarchy that may hold a CPU quota for this process: the folders whose
// quota files count, from the group's own up to and including the mount
// point, as absolute paths the process sees.
struct QuotaSource {
  CgroupVersion version;
  std::vector<std::string> levels;
};

// Every hierarchy that can limit the CPU: version-1 ones with the cpu
// controller and the unified one. The group path is taken relative to the
// mount's root; a mount whose root does not contain the group is unusable.
// When no mount is listed for a hierarchy the usual places under
// /sys/fs/cgroup are assumed.
[[nodiscard]] std::vector<QuotaSource> quota_sources(const std::vector<CgroupLine>& groups,
                                                     const std::vector<MountLine>& mounts);

// Where the reader finds its files: by default those of the calling process.
// `root` is prefixed to every mount point, so tests can point the reader at a
// tree in a temporary folder.
struct CgroupFiles {
  std::string proc_cgroup = "/proc/self/cgroup";
  std::string mountinfo = "/proc/self/mountinfo";
  std::string root;
};

// The smallest quota, in whole CPUs, found in any hierarchy at any level from
// the group's folder up to the mount point; nothing when none is set. Files
// that cannot be read set no quota.
[[nodiscard]] std::optional<std::uint64_t> cgroup_cpu_quota(const CgroupFiles& files = {});
// The same smallest quota in CPUs, fraction kept (1.5 for a group granted
// 150 ms of every 100 ms): what a report of the environment shows.
[[nodiscard]] std::optional<double> cgroup_cpu_quota_cpus(const CgroupFiles& files = {});

}  // namespace tarnwick
