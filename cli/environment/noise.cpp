#include "environment/noise.hpp"

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "environment/host_facts.hpp"
#include "tarnwick/cgroup.hpp"
#include "util/json.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// The initial PID namespace's inode number: every namespace created later
// gets another.
constexpr std::string_view INITIAL_PID_NAMESPACE = "pid:[4026531836]";

// The ticks of one "cpu" or "cpuN" line, after its name.
std::optional<CpuTicks> parse_ticks(std::string_view line) {
  // user nice system idle iowait irq softirq steal guest guest_nice; kernels
  // before 2.6.33 have fewer, and steal needs eight.
  std::array<uint64_t, 8> fields{};
  size_t count = 0;
  while (count < fields.size()) {
    line = trim(line);
    if (line.empty()) break;
    const auto [next, error] =
        std::from_chars(line.data(), line.data() + line.size(), fields[count]);
    if (error != std::errc{} || (next != line.data() + line.size() && *next != ' ')) {
      return std::nullopt;
    }
    line.remove_prefix(static_cast<size_t>(next - line.data()));
    ++count;
  }
  if (count < 4) return std::nullopt;
  CpuTicks ticks;
  for (size_t i = 0; i < count; ++i) ticks.total += fields[i];
  ticks.idle = fields[3] + fields[4];
  ticks.steal = fields[7];
  return ticks;
}

template <typename T>
std::optional<T> growth(const std::optional<T>& from, const std::optional<T>& to) {
  if (!from || !to || *to < *from) return std::nullopt;
  return *to - *from;
}

bool is_file(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

bool in_container_now() {
  ContainerSigns signs;
  std::error_code error;
  const auto link = std::filesystem::read_symlink("/proc/self/ns/pid", error);
  if (!error) signs.pid_namespace = link.string();
  signs.containerenv = std::filesystem::exists("/run/.containerenv", error);
  signs.container_variable = std::getenv("container") != nullptr;
  signs.cgroup = read_file("/proc/self/cgroup").value_or("");
  return looks_like_container(signs);
}

std::string number(double value) {
  return fmt::format("{:.{}f}", value, value < 10 ? (value < 1 ? 2 : 1) : 0);
}

}  // namespace

nlohmann::ordered_json noise_json(const Noise& noise) {
  return {{"steal_percent", or_null(noise.steal_percent)},
          {"other_cpus", or_null(noise.other_cpus)},
          {"involuntary_context_switches", or_null(noise.involuntary_context_switches)},
          {"in_container", noise.in_container}};
}

std::optional<CpuTicks> parse_proc_stat(std::string_view text) {
  const std::string_view line = text.substr(0, text.find('\n'));
  if (line.substr(0, 4) != "cpu ") return std::nullopt;
  return parse_ticks(line.substr(4));
}

std::map<unsigned, CpuTicks> parse_proc_stat_cpus(std::string_view text) {
  std::map<unsigned, CpuTicks> cpus;
  for (const std::string_view line : split(text)) {
    if (line.substr(0, 3) != "cpu") continue;
    const auto space = line.find(' ');
    if (space == std::string_view::npos || space == 3) continue;
    const auto cpu = whole_number<unsigned>(line.substr(3, space - 3));
    const auto ticks = parse_ticks(line.substr(space));
    if (cpu && ticks) cpus[*cpu] = *ticks;
  }
  return cpus;
}

std::optional<uint64_t> parse_process_ticks(std::string_view text) {
  // The command's name may hold blanks and parentheses: the fields start
  // after the last ')'. utime and stime are the 14th and 15th fields.
  const auto close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(close + 1);
  std::vector<std::string_view> fields;
  while (fields.size() < 13) {
    rest = trim(rest);
    if (rest.empty()) break;
    const auto end = rest.find(' ');
    fields.push_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
  }
  if (fields.size() < 13) return std::nullopt;
  const auto user = whole_number<uint64_t>(fields[11]);
  const auto system = whole_number<uint64_t>(fields[12]);
  if (!user || !system) return std::nullopt;
  return *user + *system;
}

std::optional<uint64_t> parse_pressure_total(std::string_view text) {
  for (const std::string_view line : split(text)) {
    if (line.substr(0, 5) != "some ") continue;
    const auto at = line.find(" total=");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = line.substr(at + 7);
    return whole_number<uint64_t>(value.substr(0, value.find(' ')));
  }
  return std::nullopt;
}

std::optional<Throttling> parse_cpu_stat(std::string_view text) {
  std::optional<uint64_t> periods, microseconds;
  for (const std::string_view line : split(text)) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, space);
    const auto value = whole_number<uint64_t>(line.substr(space + 1));
    if (!value) continue;
    if (key == "nr_throttled") periods = value;
    if (key == "throttled_usec") microseconds = value;
    if (key == "throttled_time") microseconds = *value / 1000;  // nanoseconds
  }
  if (!periods || !microseconds) return std::nullopt;
  return Throttling{*periods, *microseconds};
}

namespace {

// CPU time between two readings of one set of CPUs: the share stolen, and
// the CPUs' worth of time busy with other work than ours.
struct Shares {
  std::optional<double> steal_percent;
  std::optional<double> other_cpus;
};

Shares shares_between(const std::optional<CpuTicks>& from, const std::optional<CpuTicks>& to,
                      double own_seconds, double wall, long ticks_per_second) {
  if (!from || !to || ticks_per_second <= 0 || !(wall > 0)) return {};
  const CpuTicks& a = *from;
  const CpuTicks& b = *to;
  if (b.total <= a.total || b.idle < a.idle || b.steal < a.steal) return {};
  const auto total = static_cast<double>(b.total - a.total);
  const auto idle = static_cast<double>(b.idle - a.idle);
  const auto steal = static_cast<double>(b.steal - a.steal);
  // The kernel counts each CPU's states and a process's time by different
  // clocks, so a quiet machine can come out slightly negative.
  const double busy_seconds =
      std::max(0.0, total - idle - steal) / static_cast<double>(ticks_per_second);
  return {std::clamp(100.0 * steal / total, 0.0, 100.0),
          std::max(0.0, (busy_seconds - own_seconds) / wall)};
}

double own_seconds_between(const NoiseReading& start, const NoiseReading& end,
                           long ticks_per_second) {
  if (start.own_ticks && end.own_ticks && ticks_per_second > 0) {
    return static_cast<double>(growth(start.own_ticks, end.own_ticks).value_or(0)) /
           static_cast<double>(ticks_per_second);
  }
  return std::max(0.0, end.own_cpu_seconds - start.own_cpu_seconds);
}

double wall_between(const NoiseReading& start, const NoiseReading& end) {
  return std::chrono::duration<double>(end.when - start.when).count();
}

}  // namespace

Noise noise_between(const NoiseReading& start, const NoiseReading& end, long ticks_per_second,
                    bool in_container) {
  Noise noise;
  noise.in_container = in_container;
  noise.involuntary_context_switches =
      growth(std::optional(start.involuntary_switches), std::optional(end.involuntary_switches));
  const Shares all =
      shares_between(start.ticks, end.ticks, own_seconds_between(start, end, ticks_per_second),
                     wall_between(start, end), ticks_per_second);
  noise.steal_percent = all.steal_percent;
  noise.other_cpus = all.other_cpus;
  return noise;
}

SecondNoise second_noise_between(const NoiseReading& start, const NoiseReading& end,
                                 long ticks_per_second, std::size_t run_cpus) {
  SecondNoise noise;
  const double wall = wall_between(start, end);
  if (!(wall > 0)) return noise;
  const double own = own_seconds_between(start, end, ticks_per_second);
  const Shares all = shares_between(start.ticks, end.ticks, own, wall, ticks_per_second);
  noise.steal_percent = all.steal_percent;
  noise.other_cpus = all.other_cpus;
  noise.other_cpus_run =
      shares_between(start.run_ticks, end.run_ticks, own, wall, ticks_per_second).other_cpus;
  if (const auto waited = growth(start.pressure_microseconds, end.pressure_microseconds)) {
    noise.cpu_pressure_percent =
        std::clamp(static_cast<double>(*waited) / (wall * 1e4), 0.0, 100.0);
  }
  // Each level of the group may hold the quota that throttles it: the
  // level that throttled most says how much.
  for (std::size_t level = 0; level < start.throttling.size() && level < end.throttling.size();
       ++level) {
    const auto& a = start.throttling[level];
    const auto& b = end.throttling[level];
    if (!a || !b || b->periods < a->periods || b->microseconds < a->microseconds) continue;
    noise.throttled_periods =
        std::max(noise.throttled_periods.value_or(0), b->periods - a->periods);
    // The kernel adds up the time over the group's CPUs.
    const double share = static_cast<double>(b->microseconds - a->microseconds) /
                         (wall * 1e4 * static_cast<double>(std::max<std::size_t>(run_cpus, 1)));
    noise.throttled_percent =
        std::max(noise.throttled_percent.value_or(0.0), std::clamp(share, 0.0, 100.0));
  }
  noise.thermal_events = growth(start.thermal_events, end.thermal_events);
  noise.frequency_mhz = end.frequency_mhz;
  return noise;
}

nlohmann::ordered_json second_noise_json(const SecondNoise& noise) {
  return {{"steal_percent", or_null(noise.steal_percent)},
          {"other_cpus", or_null(noise.other_cpus)},
          {"other_cpus_run", or_null(noise.other_cpus_run)},
          {"cpu_pressure_percent", or_null(noise.cpu_pressure_percent)},
          {"throttled_percent", or_null(noise.throttled_percent)},
          {"throttled_periods", or_null(noise.throttled_periods)},
          {"thermal_events", or_null(noise.thermal_events)},
          {"frequency_mhz", or_null(noise.frequency_mhz)}};
}

NoiseSources::NoiseSources(std::string root, std::vector<unsigned> run_cpus)
    : root_(std::move(root)), run_cpus_(std::move(run_cpus)) {
  // Found once: the readings then only read files.
  try {
    CgroupFiles files;
    files.proc_cgroup = root_ + files.proc_cgroup;
    files.mountinfo = root_ + files.mountinfo;
    const auto groups = read_file(files.proc_cgroup);
    const auto mounts = read_file(files.mountinfo);
    if (groups) {
      for (const QuotaSource& source :
           quota_sources(parse_proc_cgroup(*groups),
                         mounts ? parse_mountinfo(*mounts) : std::vector<MountLine>{})) {
        for (const std::string& level : source.levels) {
          const std::string path = root_ + level + "/cpu.stat";
          if (is_file(path)) cpu_stat_files_.push_back(path);
        }
      }
    }
    const std::filesystem::path cpus = root_ + "/sys/devices/system/cpu";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(cpus, error)) {
      const std::string name = entry.path().filename().string();
      if (name.size() < 4 || name.substr(0, 3) != "cpu" ||
          !whole_number<unsigned>(name.substr(3))) {
        continue;
      }
      std::error_code inner;
      for (const auto& file :
           std::filesystem::directory_iterator(entry.path() / "thermal_throttle", inner)) {
        const std::string file_name = file.path().filename().string();
        if (file_name.ends_with("_count")) thermal_files_.push_back(file.path().string());
      }
    }
    std::sort(thermal_files_.begin(), thermal_files_.end());
    for (const unsigned cpu : run_cpus_) {
      const std::string path =
          fmt::format("{}/sys/devices/system/cpu/cpu{}/cpufreq/scaling_cur_freq", root_, cpu);
      if (is_file(path)) frequency_files_.push_back(path);
    }
  } catch (...) {
    // A source that cannot be found is absent.
  }
}

std::string NoiseSources::root_from_environment() {
  const char* root = std::getenv("TARNWICK_SYSROOT");
  return root == nullptr ? std::string() : std::string(root);
}

NoiseReading NoiseSources::read() const noexcept {
  NoiseReading reading;
  reading.when = std::chrono::steady_clock::now();
  try {
    if (const auto stat = read_file(root_ + "/proc/stat")) {
      reading.ticks = parse_proc_stat(*stat);
      const auto cpus = parse_proc_stat_cpus(*stat);
      CpuTicks run;
      bool complete = !run_cpus_.empty();
      for (const unsigned cpu : run_cpus_) {
        const auto found = cpus.find(cpu);
        if (found == cpus.end()) {
          complete = false;
          break;
        }
        run.total += found->second.total;
        run.idle += found->second.idle;
        run.steal += found->second.steal;
      }
      if (complete) reading.run_ticks = run;
    }
    if (const auto own = read_file(root_ + "/proc/self/stat")) {
      reading.own_ticks = parse_process_ticks(*own);
    }
    if (const auto pressure = read_file(root_ + "/proc/pressure/cpu")) {
      reading.pressure_microseconds = parse_pressure_total(*pressure);
    }
    for (const std::string& path : cpu_stat_files_) {
      const auto text = read_file(path);
      reading.throttling.push_back(text ? parse_cpu_stat(*text) : std::nullopt);
    }
    if (!thermal_files_.empty()) {
      uint64_t events = 0;
      bool all = true;
      for (const std::string& path : thermal_files_) {
        const auto text = read_file(path);
        const auto count = text ? whole_number<uint64_t>(*text) : std::nullopt;
        all = all && count.has_value();
        events += count.value_or(0);
      }
      if (all) reading.thermal_events = events;
    }
    if (!frequency_files_.empty()) {
      double sum = 0;
      std::size_t count = 0;
      for (const std::string& path : frequency_files_) {
        const auto text = read_file(path);
        if (const auto khz = text ? whole_number<uint64_t>(*text) : std::nullopt) {
          sum += static_cast<double>(*khz) / 1000.0;
          ++count;
        }
      }
      if (count > 0) reading.frequency_mhz = sum / static_cast<double>(count);
    }
  } catch (...) {
    // What could not be read stays absent.
  }
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    const auto seconds = [](const timeval& time) {
      return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
    };
    reading.own_cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    reading.involuntary_switches = static_cast<uint64_t>(usage.ru_nivcsw);
  }
  return reading;
}

bool looks_like_container(const ContainerSigns& signs) {
  if (!signs.pid_namespace.empty() && signs.pid_namespace != INITIAL_PID_NAMESPACE) return true;
  if (signs.containerenv || signs.container_variable) return true;
  for (const std::string_view runtime :
       {"/docker", "/kubepods", "/lxc", "/libpod", "/containerd"}) {
    if (signs.cgroup.find(runtime) != std::string::npos) return true;
  }
  return false;
}

std::string explain_noise(const std::optional<Noise>& noise) {
  if (!noise || (!noise->steal_percent && !noise->other_cpus)) {
    return "no figures of other work could be read for this run";
  }
  std::vector<std::string> shown;
  if (noise->steal_percent && *noise->steal_percent >= STEAL_WORTH_NAMING) {
    shown.push_back(fmt::format("steal {} % of CPU time (the hypervisor ran other guests)",
                                number(*noise->steal_percent)));
  }
  if (noise->other_cpus && *noise->other_cpus >= OTHER_WORTH_NAMING) {
    shown.push_back(fmt::format("other processes used {} CPUs", number(*noise->other_cpus)));
  }
  std::string text;
  if (shown.empty()) {
    text = "nothing visible to the guest explains it";
    if (noise->steal_percent && noise->other_cpus) {
      text += fmt::format(" (steal {} %, other processes {} CPUs)", number(*noise->steal_percent),
                          number(*noise->other_cpus));
    }
  } else {
    text = listed(shown);
  }
  if (noise->in_container) {
    text +=
        "; inside a container /proc/stat is the host's, so these figures cover other "
        "containers too";
  }
  return text;
}

void NoiseSampler::measuring(double elapsed) noexcept {
  if (closed_) return;
  try {
    // A report closes a second when it is the first of a later whole second.
    if (!readings_.empty() && std::floor(elapsed) <= std::floor(readings_.back().window_seconds)) {
      return;
    }
    if (readings_.empty()) readings_.reserve(128);
    readings_.push_back(sources_.read());
    readings_.back().window_seconds = elapsed;
  } catch (...) {
  }
}

void NoiseSampler::finished(double elapsed) noexcept {
  if (closed_ || readings_.empty()) return;
  closed_ = true;
  try {
    readings_.push_back(sources_.read());
    readings_.back().window_seconds =
        std::max(elapsed, readings_[readings_.size() - 2].window_seconds);
  } catch (...) {
  }
}

std::optional<Noise> NoiseSampler::window() const noexcept {
  if (readings_.size() < 2) return std::nullopt;
  try {
    return noise_between(readings_.front(), readings_.back(), sysconf(_SC_CLK_TCK),
                         in_container_now());
  } catch (...) {
    return std::nullopt;
  }
}

std::vector<std::optional<SecondNoise>> NoiseSampler::seconds(
    const std::vector<double>& ends, const std::vector<double>& durations) const {
  std::vector<std::optional<SecondNoise>> seconds(ends.size());
  if (readings_.size() < 2) return seconds;
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  const auto nearest = [this](double time) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < readings_.size(); ++i) {
      if (std::abs(readings_[i].window_seconds - time) <
          std::abs(readings_[best].window_seconds - time)) {
        best = i;
      }
    }
    return best;
  };
  for (std::size_t i = 0; i < ends.size() && i < durations.size(); ++i) {
    const std::size_t from = nearest(ends[i] - durations[i]);
    const std::size_t to = nearest(ends[i]);
    if (to <= from) continue;
    seconds[i] = second_noise_between(readings_[from], readings_[to], ticks_per_second,
                                      sources_.run_cpu_count());
  }
  return seconds;
}

}  // namespace tarnwick
