#include "tarnwick/cgroup.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

namespace tarnwick {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view blank = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

// The whole text must be the number: "12x" or an overflow is not a number.
template <class T>
std::optional<T> parse_number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes space, tab, newline and backslash in mount paths as a
// backslash and three octal digits.
std::string unescape_octal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && is_octal(text[i + 1]) && is_octal(text[i + 2]) &&
        is_octal(text[i + 3])) {
      const int code = (text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0');
      out.push_back(static_cast<char>(static_cast<unsigned char>(code)));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// Fields separated by runs of blanks.
std::vector<std::string_view> nonempty_views(std::string_view text) {
  std::vector<std::string_view> out;
  constexpr std::string_view blank = " \t\r";
  for (std::size_t at = text.find_first_not_of(blank); at != std::string_view::npos;) {
    const std::size_t end = text.find_first_of(blank, at);
    out.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    at = end == std::string_view::npos ? end : text.find_first_not_of(blank, end);
  }
  return out;
}

std::vector<std::string> nonempty_strings(std::string_view text, char separator) {
  std::vector<std::string> out;
  for (std::string_view part : split(text, separator)) {
    if (!part.empty()) out.emplace_back(part);
  }
  return out;
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The components of an absolute cgroup path, or nothing when it climbs with
// "..": the group then lies outside what this view of the hierarchy shows.
std::optional<std::vector<std::string>> path_components(std::string_view path) {
  std::vector<std::string> out;
  for (std::string_view part : split(path, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    out.emplace_back(part);
  }
  return out;
}

std::string join_path(std::string base, const std::string& component) {
  if (base.empty() || base.back() != '/') base.push_back('/');
  return base + component;
}

// The group's folder and each parent up to the mount point, deepest first.
std::vector<std::string> levels_of(const std::string& mount_point,
                                   const std::vector<std::string>& relative) {
  std::vector<std::string> levels{mount_point};
  for (const std::string& component : relative)
    levels.push_back(join_path(levels.back(), component));
  std::reverse(levels.begin(), levels.end());
  return levels;
}

bool mount_serves(const MountLine& mount, CgroupVersion version) {
  if (version == CgroupVersion::V2) return mount.fs_type == "cgroup2";
  return mount.fs_type == "cgroup" && contains(mount.super_options, "cpu");
}

// The group's folders below the mount that shows the most specific part of
// the hierarchy, or nothing when no listed mount contains the group.
std::optional<std::vector<std::string>> locate(const std::vector<std::string>& group,
                                               const std::vector<MountLine>& mounts,
                                               CgroupVersion version) {
  std::optional<std::vector<std::string>> best;
  std::size_t best_depth = 0;
  for (const MountLine& mount : mounts) {
    if (!mount_serves(mount, version)) continue;
    const auto root = path_components(mount.root);
    if (!root || root->size() > group.size() ||
        !std::equal(root->begin(), root->end(), group.begin()))
      continue;
    if (best && root->size() <= best_depth) continue;
    const auto rest = group.begin() + static_cast<std::ptrdiff_t>(root->size());
    best = levels_of(mount.mount_point, std::vector<std::string>(rest, group.end()));
    best_depth = root->size();
  }
  return best;
}

std::optional<std::string> read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

// A quota as the files state it: `runtime` of CPU time in every `period`,
// both in microseconds; `period` is never 0.
struct Share {
  std::uint64_t runtime;
  std::uint64_t period;

  [[nodiscard]] std::uint64_t whole_cpus() const { return runtime / period; }
  [[nodiscard]] double cpus() const {
    return static_cast<double>(runtime) / static_cast<double>(period);
  }
};

__extension__ using Wide = unsigned __int128;

// Compared exactly: the whole count and the fraction must pick the same level.
bool less(const Share& a, const Share& b) {
  return Wide{a.runtime} * b.period < Wide{b.runtime} * a.period;
}

std::optional<Share> smaller(std::optional<Share> a, std::optional<Share> b) {
  if (!a) return b;
  if (!b) return a;
  return less(*b, *a) ? b : a;
}

std::optional<Share> cpu_max_share(std::string_view text) {
  const std::vector<std::string_view> fields = nonempty_views(trim(text));
  if (fields.size() != 2) return std::nullopt;
  const auto limit = parse_number<std::uint64_t>(fields[0]);  // "max" is not a number
  const auto period = parse_number<std::uint64_t>(fields[1]);
  if (!limit || !period || *period == 0) return std::nullopt;
  return Share{*limit, *period};
}

std::optional<Share> cfs_share(std::string_view quota, std::string_view period) {
  const auto q = parse_number<std::int64_t>(trim(quota));
  const auto p = parse_number<std::int64_t>(trim(period));
  if (!q || !p || *q < 0 || *p <= 0) return std::nullopt;
  return Share{static_cast<std::uint64_t>(*q), static_cast<std::uint64_t>(*p)};
}

std::optional<Share> level_share(const std::string& dir, CgroupVersion version) {
  if (version == CgroupVersion::V2) {
    const auto max = read_file(dir + "/cpu.max");
    return max ? cpu_max_share(*max) : std::nullopt;
  }
  const auto quota = read_file(dir + "/cpu.cfs_quota_us");
  const auto period = read_file(dir + "/cpu.cfs_period_us");
  return quota && period ? cfs_share(*quota, *period) : std::nullopt;
}

}  // namespace

std::vector<CgroupLine> parse_proc_cgroup(std::string_view text) {
  std::vector<CgroupLine> lines;
  for (std::string_view line : split(text, '\n')) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    // The path is the rest of the line: a group's name may hold a colon.
    lines.push_back(CgroupLine{std::string(line.substr(0, first)),
                               nonempty_strings(line.substr(first + 1, second - first - 1), ','),
                               std::string(line.substr(second + 1))});
  }
  return lines;
}

std::vector<MountLine> parse_mountinfo(std::string_view text) {
  std::vector<MountLine> mounts;
  for (std::string_view line : split(text, '\n')) {
    const std::vector<std::string_view> fields = nonempty_views(line);
    // id, parent, device, root, mount point, options, optional fields, "-",
    // file system type, source, super options.
    const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 2) continue;
    MountLine mount{unescape_octal(fields[3]), unescape_octal(fields[4]), std::string(dash[1]), {}};
    if (fields.end() - dash >= 4) mount.super_options = nonempty_strings(dash[3], ',');
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::optional<std::uint64_t> parse_cpu_max(std::string_view text) {
  const auto share = cpu_max_share(text);
  return share ? std::optional(share->whole_cpus()) : std::nullopt;
}

std::optional<double> parse_cpu_max_cpus(std::string_view text) {
  const auto share = cpu_max_share(text);
  return share ? std::optional(share->cpus()) : std::nullopt;
}

std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
  const auto share = cfs_share(quota, period);
  return share ? std::optional(share->whole_cpus()) : std::nullopt;
}

std::optional<double> parse_cfs_quota_cpus(std::string_view quota, std::string_view period) {
  const auto share = cfs_share(quota, period);
  return share ? std::optional(share->cpus()) : std::nullopt;
}

std::vector<QuotaSource> quota_sources(const std::vector<CgroupLine>& groups,
                                       const std::vector<MountLine>& mounts) {
  std::vector<QuotaSource> sources;
  for (const CgroupLine& group : groups) {
    CgroupVersion version;
    if (group.hierarchy == "0" && group.controllers.empty()) {
      version = CgroupVersion::V2;
    } else if (contains(group.controllers, "cpu")) {
      version = CgroupVersion::V1;
    } else {
      continue;
    }
    const auto path = path_components(group.path);
    if (!path) continue;

    const bool listed = std::any_of(mounts.begin(), mounts.end(),
                                    [&](const MountLine& m) { return mount_serves(m, version); });
    if (listed) {
      if (auto levels = locate(*path, mounts, version))
        sources.push_back(QuotaSource{version, std::move(*levels)});
      continue;
    }
    // Without a listed mount, assume the conventional places, rooted at "/".
    if (version == CgroupVersion::V2) {
      sources.push_back(QuotaSource{version, levels_of("/sys/fs/cgroup", *path)});
    } else {
      for (const char* mount_point : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"})
        sources.push_back(QuotaSource{version, levels_of(mount_point, *path)});
    }
  }
  return sources;
}

namespace {

std::optional<Share> smallest_share(const CgroupFiles& files) {
  const auto groups = read_file(files.proc_cgroup);
  if (!groups) return std::nullopt;
  const auto mountinfo = read_file(files.mountinfo);
  const std::vector<MountLine> mounts =
      mountinfo ? parse_mountinfo(*mountinfo) : std::vector<MountLine>{};

  std::optional<Share> quota;
  for (const QuotaSource& source : quota_sources(parse_proc_cgroup(*groups), mounts)) {
    for (const std::string& level : source.levels)
      quota = smaller(quota, level_share(files.root + level, source.version));
  }
  return quota;
}

}  // namespace

std::optional<std::uint64_t> cgroup_cpu_quota(const CgroupFiles& files) {
  const auto share = smallest_share(files);
  return share ? std::optional(share->whole_cpus()) : std::nullopt;
}

std::optional<double> cgroup_cpu_quota_cpus(const CgroupFiles& files) {
  const auto share = smallest_share(files);
  return share ? std::optional(share->cpus()) : std::nullopt;
}

}  // namespace tarnwick
