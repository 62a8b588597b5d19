// What else used the machine while a run measured: the CPU time the
// hypervisor gave to other guests (steal), the CPU time of other processes,
// and how often this process was preempted. Read from /proc/stat and the
// process's own resource usage, from the run's first measuring progress
// report to its end.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

struct Noise {
  std::optional<double> steal_percent;  // of all CPUs' time
  std::optional<double> other_cpus;     // CPUs' worth of time used by other processes
  std::optional<uint64_t> involuntary_context_switches;
  // Inside a container /proc/stat counts the whole host: "other processes"
  // may be other containers, and the figures are the host's, not ours.
  bool in_container = false;
};

// A run's "noise" object.
[[nodiscard]] nlohmann::ordered_json noise_json(const Noise& noise);

// The aggregate "cpu" line of /proc/stat, in clock ticks.
struct CpuTicks {
  uint64_t total = 0;  // every state but guest time, which user time includes
  uint64_t idle = 0;   // idle and waiting for I/O
  uint64_t steal = 0;
};
[[nodiscard]] std::optional<CpuTicks> parse_proc_stat(std::string_view text);

// One reading of the counters the probe compares.
struct NoiseReading {
  std::optional<CpuTicks> ticks;
  double own_cpu_seconds = 0;  // this process's user and system time, all threads
  uint64_t involuntary_switches = 0;
  std::chrono::steady_clock::time_point when;
};

// The noise between two readings: steal over all CPU time; busy time of all
// CPUs less this process's own, over the wall time. Nothing when /proc/stat
// could not be read or no time passed.
[[nodiscard]] Noise noise_between(const NoiseReading& start, const NoiseReading& end,
                                  long ticks_per_second, bool in_container);

// The signs of a container, as read from the system.
struct ContainerSigns {
  std::string pid_namespace;        // the /proc/self/ns/pid link, "pid:[4026531836]"
  bool containerenv = false;        // /run/.containerenv exists (podman)
  bool container_variable = false;  // $container is set (systemd-nspawn, podman, LXC)
  std::string cgroup;               // /proc/self/cgroup
};
// A PID namespace other than the initial one, a container runtime's marker
// or a runtime's cgroup path. (/.dockerenv is no sign: images built from
// container layers carry it into virtual machines that have their own /proc.)
[[nodiscard]] bool looks_like_container(const ContainerSigns& signs);

// What the figures show, for the warning of an unstable run: "steal 9.3 %
// of CPU time", "other processes used 0.7 CPUs", or that nothing visible to
// the guest explains it; inside a container, that the figures are the host's.
[[nodiscard]] std::string explain_noise(const std::optional<Noise>& noise);

// Measures one run: start() at the first measuring progress report (from the
// library's callback; later calls do nothing), finish() once the run has
// returned. Neither throws.
class NoiseProbe {
 public:
  void start() noexcept;
  [[nodiscard]] bool started() const noexcept { return start_.has_value(); }
  // The noise since start(), or nothing when the run never measured.
  [[nodiscard]] std::optional<Noise> finish() noexcept;

 private:
  std::optional<NoiseReading> start_;
};

}  // namespace tarnwick
