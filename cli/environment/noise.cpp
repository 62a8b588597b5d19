#include "environment/noise.hpp"

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <filesystem>

#include "environment/host_facts.hpp"
#include "util/json.hpp"

namespace tarnwick {
namespace {

// The initial PID namespace's inode number: every namespace created later
// gets another.
constexpr std::string_view INITIAL_PID_NAMESPACE = "pid:[4026531836]";

// Below these the figures explain no instability worth naming.
constexpr double STEAL_WORTH_NAMING = 1.0;  // % of CPU time
constexpr double OTHER_WORTH_NAMING = 0.2;  // CPUs

NoiseReading read_now() noexcept {
  NoiseReading reading;
  reading.when = std::chrono::steady_clock::now();
  try {
    if (const auto stat = read_file("/proc/stat")) reading.ticks = parse_proc_stat(*stat);
  } catch (...) {
    reading.ticks.reset();
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
  const auto end = text.find('\n');
  std::string_view line = text.substr(0, end);
  if (line.substr(0, 4) != "cpu ") return std::nullopt;
  line.remove_prefix(4);
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

Noise noise_between(const NoiseReading& start, const NoiseReading& end, long ticks_per_second,
                    bool in_container) {
  Noise noise;
  noise.in_container = in_container;
  noise.involuntary_context_switches =
      end.involuntary_switches >= start.involuntary_switches
          ? std::optional<uint64_t>(end.involuntary_switches - start.involuntary_switches)
          : std::nullopt;
  const double wall = std::chrono::duration<double>(end.when - start.when).count();
  if (!start.ticks || !end.ticks || ticks_per_second <= 0 || !(wall > 0)) return noise;
  const CpuTicks& a = *start.ticks;
  const CpuTicks& b = *end.ticks;
  if (b.total <= a.total || b.idle < a.idle || b.steal < a.steal) return noise;
  const auto total = static_cast<double>(b.total - a.total);
  const auto idle = static_cast<double>(b.idle - a.idle);
  const auto steal = static_cast<double>(b.steal - a.steal);
  noise.steal_percent = std::clamp(100.0 * steal / total, 0.0, 100.0);
  // Ticks are counted at the clock's resolution and our own time to the
  // microsecond, so a quiet machine can come out slightly negative.
  const double busy_seconds = (total - idle - steal) / static_cast<double>(ticks_per_second);
  const double own_seconds = std::max(0.0, end.own_cpu_seconds - start.own_cpu_seconds);
  noise.other_cpus = std::max(0.0, (busy_seconds - own_seconds) / wall);
  return noise;
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
    text = shown.front();
    if (shown.size() > 1) text += " and " + shown.back();
  }
  if (noise->in_container) {
    text +=
        "; inside a container /proc/stat is the host's, so these figures cover other "
        "containers too";
  }
  return text;
}

void NoiseProbe::start() noexcept {
  if (start_) return;
  start_ = read_now();
}

std::optional<Noise> NoiseProbe::finish() noexcept {
  if (!start_) return std::nullopt;
  try {
    const NoiseReading end = read_now();
    return noise_between(*start_, end, sysconf(_SC_CLK_TCK), in_container_now());
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tarnwick
