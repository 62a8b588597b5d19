// What else used the machine while a run measured, for the window as a
// whole and second by second: the CPU time the hypervisor gave to other
// guests (steal), the CPU time of other processes on every CPU and on the
// run's own, CPU pressure, the throttling of the run's control group,
// thermal throttle events and the CPUs' current frequency. Each figure is
// absent where the machine does not offer its source. Every file is read
// below a root directory, so that tests can point the readings at a tree of
// their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// One second of the measured window.
struct SecondNoise {
  std::optional<double> steal_percent;         // of all CPUs' time
  std::optional<double> other_cpus;            // other processes, all CPUs, in CPUs
  std::optional<double> other_cpus_run;        // the same on the CPUs the run may use
  std::optional<double> cpu_pressure_percent;  // of the second, some task waited for a CPU
  std::optional<double> throttled_percent;     // of the second, the run's group was throttled
  std::optional<uint64_t> throttled_periods;   // quota periods that throttled it
  std::optional<uint64_t> thermal_events;      // thermal throttle events, every CPU
  std::optional<double> frequency_mhz;         // mean current frequency of the run's CPUs
};

// A sample's "noise" object.
[[nodiscard]] nlohmann::ordered_json second_noise_json(const SecondNoise& noise);

// A "cpu" line of /proc/stat, in clock ticks.
struct CpuTicks {
  uint64_t total = 0;  // every state but guest time, which user time includes
  uint64_t idle = 0;   // idle and waiting for I/O
  uint64_t steal = 0;
};
// The aggregate "cpu" line, which must come first.
[[nodiscard]] std::optional<CpuTicks> parse_proc_stat(std::string_view text);
// The "cpuN" lines, by CPU number; lines that do not parse are left out.
[[nodiscard]] std::map<unsigned, CpuTicks> parse_proc_stat_cpus(std::string_view text);

// The user and system time of a /proc/<pid>/stat text, in clock ticks.
[[nodiscard]] std::optional<uint64_t> parse_process_ticks(std::string_view text);
// The "total" of the "some" line of /proc/pressure/cpu, in microseconds.
[[nodiscard]] std::optional<uint64_t> parse_pressure_total(std::string_view text);

// A control group's cpu.stat: throttled periods and time (microseconds;
// version 1 counts nanoseconds in throttled_time, version 2 microseconds in
// throttled_usec). Nothing without both figures.
struct Throttling {
  uint64_t periods = 0;
  uint64_t microseconds = 0;
};
[[nodiscard]] std::optional<Throttling> parse_cpu_stat(std::string_view text);

// One reading of every counter.
struct NoiseReading {
  std::optional<CpuTicks> ticks;      // all CPUs
  std::optional<CpuTicks> run_ticks;  // the run's CPUs added up
  std::optional<uint64_t> own_ticks;  // this process, all threads
  double own_cpu_seconds = 0;         // the same from getrusage, when own_ticks is absent
  uint64_t involuntary_switches = 0;
  std::optional<uint64_t> pressure_microseconds;
  std::vector<std::optional<Throttling>> throttling;  // per level of the run's group
  std::optional<uint64_t> thermal_events;
  std::optional<double> frequency_mhz;
  std::chrono::steady_clock::time_point when;
  double window_seconds = 0;  // how far into the measured window it was taken
};

// The noise between two readings: steal over all CPU time; busy time of all
// CPUs less this process's own, over the wall time. Nothing when /proc/stat
// could not be read or no time passed.
[[nodiscard]] Noise noise_between(const NoiseReading& start, const NoiseReading& end,
                                  long ticks_per_second, bool in_container);
// The same second by second, with every source; `run_cpus` is how many CPUs
// run_ticks adds up.
[[nodiscard]] SecondNoise second_noise_between(const NoiseReading& start, const NoiseReading& end,
                                               long ticks_per_second, std::size_t run_cpus);

// Where the readings come from: the files below `root` ("" for the
// machine's own) that exist when the sources are opened.
class NoiseSources {
 public:
  // `run_cpus`: the CPUs the run may use.
  NoiseSources(std::string root, std::vector<unsigned> run_cpus);
  // The root the program reads, TARNWICK_SYSROOT or the machine's own.
  [[nodiscard]] static std::string root_from_environment();

  [[nodiscard]] NoiseReading read() const noexcept;
  [[nodiscard]] std::size_t run_cpu_count() const noexcept { return run_cpus_.size(); }
  [[nodiscard]] const std::string& root() const noexcept { return root_; }

 private:
  std::string root_;
  std::vector<unsigned> run_cpus_;
  std::vector<std::string> cpu_stat_files_;   // the run's group and its parents
  std::vector<std::string> thermal_files_;    // every *_count of every CPU
  std::vector<std::string> frequency_files_;  // scaling_cur_freq of the run's CPUs
};

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

// Below these the figures explain no instability worth naming.
constexpr double STEAL_WORTH_NAMING = 1.0;  // % of CPU time
constexpr double OTHER_WORTH_NAMING = 0.2;  // CPUs

// What the figures show, for the warning of an unstable run: "steal 9.3 %
// of CPU time", "other processes used 0.7 CPUs", or that nothing visible to
// the guest explains it; inside a container, that the figures are the host's.
[[nodiscard]] std::string explain_noise(const std::optional<Noise>& noise);

// Measures one run from the library's progress reports, on the thread that
// delivers them, never in the workers' loop: a reading at the first report
// of the measured window, at each report that closes a second of it and at
// the last report. Nothing here throws.
class NoiseSampler {
 public:
  explicit NoiseSampler(NoiseSources sources) : sources_(std::move(sources)) {}
  // A report of the measured window, `elapsed` seconds into it.
  void measuring(double elapsed) noexcept;
  // The run's last report (or its end, when none came): closes the window.
  void finished(double elapsed) noexcept;
  [[nodiscard]] bool started() const noexcept { return !readings_.empty(); }
  [[nodiscard]] std::size_t run_cpu_count() const noexcept { return sources_.run_cpu_count(); }

  // The window's noise from the first reading to the last, or nothing when
  // the run never measured.
  [[nodiscard]] std::optional<Noise> window() const noexcept;
  // Each sample's noise (a sample ends at `ends[i]` and lasts
  // `durations[i]`): between the readings nearest its ends; nothing where
  // no two readings bracket it.
  [[nodiscard]] std::vector<std::optional<SecondNoise>> seconds(
      const std::vector<double>& ends, const std::vector<double>& durations) const;

  [[nodiscard]] const std::vector<NoiseReading>& readings() const noexcept { return readings_; }

 private:
  NoiseSources sources_;
  std::vector<NoiseReading> readings_;
  bool closed_ = false;
};

}  // namespace tarnwick
