// The per-second readings against trees of files whose truth is known: a
// machine's /proc and /sys written into a temporary folder, read once,
// advanced by one second of planted activity, and read again.
#include "environment/noise.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A root folder with the files a test writes, removed at the end.
struct Tree {
  std::string root;
  Tree() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-noise-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) root = pattern;
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree() {
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
  }
  void write(const std::string& path, const std::string& text) const {
    const fs::path file = root + path;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
};

// Two CPUs: user nice system idle iowait irq softirq steal.
std::string proc_stat(uint64_t busy0, uint64_t idle0, uint64_t steal0, uint64_t busy1,
                      uint64_t idle1, uint64_t steal1) {
  return fmt::format(
      "cpu  {} 0 0 {} 0 0 0 {} 0 0\ncpu0 {} 0 0 {} 0 0 0 {} 0 0\ncpu1 {} 0 0 {} 0 0 0 {} 0 0\n"
      "intr 1 2 3\nctxt 100\n",
      busy0 + busy1, idle0 + idle1, steal0 + steal1, busy0, idle0, steal0, busy1, idle1, steal1);
}

// This process's /proc/self/stat, with a name that holds blanks and ')'.
std::string self_stat(uint64_t user, uint64_t system) {
  return fmt::format(
      "4242 (tar nwick) x) R 1 4242 4242 0 -1 4194560 100 0 0 0 {} {} 0 0 20 0 3 0\n", user,
      system);
}

std::string pressure(uint64_t total) {
  return fmt::format(
      "some avg10=1.00 avg60=0.50 avg300=0.10 total={}\nfull avg10=0.00 avg60=0.00 "
      "avg300=0.00 total=7\n",
      total);
}

// Reads, lets `advance` change the files, reads again one second later.
template <typename Advance>
SecondNoise one_second(const Tree& tree, const std::vector<unsigned>& run_cpus, Advance advance) {
  const NoiseSources sources(tree.root, run_cpus);
  const NoiseReading first = sources.read();
  advance();
  NoiseReading second = sources.read();
  second.when = first.when + 1s;
  return second_noise_between(first, second, 100, run_cpus.size());
}

TEST(SecondNoise, QuietSecondsShowNoCompetition) {
  Tree tree;
  tree.write("/proc/stat", proc_stat(1000, 5000, 0, 800, 5200, 0));
  tree.write("/proc/self/stat", self_stat(700, 100));
  tree.write("/proc/pressure/cpu", pressure(123456));
  const SecondNoise noise = one_second(tree, {0, 1}, [&] {
    // Our worker keeps CPU 0 busy; CPU 1 idles.
    tree.write("/proc/stat", proc_stat(1100, 5000, 0, 800, 5300, 0));
    tree.write("/proc/self/stat", self_stat(798, 102));
    tree.write("/proc/pressure/cpu", pressure(123456));
  });
  EXPECT_DOUBLE_EQ(*noise.steal_percent, 0.0);
  EXPECT_DOUBLE_EQ(*noise.other_cpus, 0.0);
  EXPECT_DOUBLE_EQ(*noise.other_cpus_run, 0.0);
  EXPECT_DOUBLE_EQ(*noise.cpu_pressure_percent, 0.0);
  // What this machine does not offer is absent, never zero.
  EXPECT_FALSE(noise.throttled_percent || noise.throttled_periods);
  EXPECT_FALSE(noise.thermal_events || noise.frequency_mhz);
}

TEST(SecondNoise, OtherProcessesOnTheRunsCpusAndStealAreSeparated) {
  Tree tree;
  tree.write("/proc/stat", proc_stat(1000, 5000, 10, 800, 5200, 10));
  tree.write("/proc/self/stat", self_stat(700, 100));
  tree.write("/proc/pressure/cpu", pressure(1000000));
  const auto advance = [&] {
    // CPU 0: 100 busy ticks, 60 of them ours; CPU 1: 30 busy, 60 idle, 10
    // stolen. Some task waited 250 ms.
    tree.write("/proc/stat", proc_stat(1100, 5000, 10, 830, 5260, 20));
    tree.write("/proc/self/stat", self_stat(760, 100));
    tree.write("/proc/pressure/cpu", pressure(1250000));
  };
  const SecondNoise both = one_second(tree, {0, 1}, advance);
  EXPECT_DOUBLE_EQ(*both.steal_percent, 5.0);  // 10 of 200 ticks
  EXPECT_DOUBLE_EQ(*both.other_cpus, 0.7);     // 130 busy - 60 ours
  EXPECT_DOUBLE_EQ(*both.other_cpus_run, 0.7);
  EXPECT_DOUBLE_EQ(*both.cpu_pressure_percent, 25.0);
  // A run pinned to CPU 0: only that CPU's other work competed with it.
  tree.write("/proc/stat", proc_stat(1000, 5000, 10, 800, 5200, 10));
  tree.write("/proc/self/stat", self_stat(700, 100));
  tree.write("/proc/pressure/cpu", pressure(1000000));
  const SecondNoise pinned = one_second(tree, {0}, advance);
  EXPECT_DOUBLE_EQ(*pinned.other_cpus, 0.7);
  EXPECT_DOUBLE_EQ(*pinned.other_cpus_run, 0.4);
}

TEST(SecondNoise, CgroupV1ThrottlingInTheCpuHierarchy) {
  Tree tree;
  tree.write("/proc/stat", proc_stat(0, 0, 0, 0, 0, 0));
  tree.write("/proc/self/cgroup",
             "5:memory:/other\n3:cpu,cpuacct:/user.slice/bench\n1:name=systemd:/\n");
  tree.write("/proc/self/mountinfo",
             "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
             "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
             "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
  const std::string group = "/sys/fs/cgroup/cpu,cpuacct/user.slice/bench/cpu.stat";
  tree.write(group, "nr_periods 100\nnr_throttled 10\nthrottled_time 5000000000\n");
  // The memory hierarchy's files are no throttling of ours.
  tree.write("/sys/fs/cgroup/memory/other/cpu.stat", "nr_throttled 1\nthrottled_time 1\n");
  const SecondNoise noise = one_second(tree, {0, 1}, [&] {
    // 300 ms throttled over the group's two CPUs in 4 periods.
    tree.write(group, "nr_periods 110\nnr_throttled 14\nthrottled_time 5300000000\n");
  });
  EXPECT_EQ(noise.throttled_periods, 4u);
  EXPECT_DOUBLE_EQ(*noise.throttled_percent, 15.0);
}

TEST(SecondNoise, CgroupV2ThrottlingCountsTheLevelThatThrottled) {
  Tree tree;
  tree.write("/proc/self/cgroup", "0::/app.slice/run.scope\n");
  tree.write("/proc/self/mountinfo", "40 23 0:38 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
  const std::string leaf = "/sys/fs/cgroup/app.slice/run.scope/cpu.stat";
  const std::string parent = "/sys/fs/cgroup/app.slice/cpu.stat";
  tree.write(leaf, "usage_usec 100\nnr_periods 0\nnr_throttled 0\nthrottled_usec 0\n");
  tree.write(parent, "usage_usec 100\nnr_periods 50\nnr_throttled 7\nthrottled_usec 1000\n");
  const SecondNoise noise = one_second(tree, {3}, [&] {
    // The parent's quota throttled the run 400 ms in 2 periods.
    tree.write(parent, "usage_usec 900\nnr_periods 60\nnr_throttled 9\nthrottled_usec 401000\n");
  });
  EXPECT_EQ(noise.throttled_periods, 2u);
  EXPECT_DOUBLE_EQ(*noise.throttled_percent, 40.0);
  // No /proc/stat in this tree: its figures are absent.
  EXPECT_FALSE(noise.steal_percent || noise.other_cpus || noise.other_cpus_run);
}

TEST(SecondNoise, ThermalEventsOfEveryCpuAndTheRunsFrequency) {
  Tree tree;
  for (const int cpu : {0, 1}) {
    const std::string base = fmt::format("/sys/devices/system/cpu/cpu{}", cpu);
    tree.write(base + "/thermal_throttle/core_throttle_count", "3\n");
    tree.write(base + "/thermal_throttle/package_throttle_count", "5\n");
    tree.write(base + "/thermal_throttle/core_throttle_max_time_ms", "900\n");  // not a count
    tree.write(base + "/cpufreq/scaling_cur_freq", cpu == 0 ? "2400000\n" : "1200000\n");
  }
  tree.write("/sys/devices/system/cpu/cpufreq/policy0/scaling_cur_freq", "1\n");
  const auto advance = [&] {
    tree.write("/sys/devices/system/cpu/cpu0/thermal_throttle/core_throttle_count", "5\n");
    tree.write("/sys/devices/system/cpu/cpu1/thermal_throttle/package_throttle_count", "6\n");
    tree.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "2000000\n");
  };
  const SecondNoise both = one_second(tree, {0, 1}, advance);
  EXPECT_EQ(both.thermal_events, 3u);
  EXPECT_DOUBLE_EQ(*both.frequency_mhz, 1600.0);  // at the second's end, over the run's CPUs
  const SecondNoise second_cpu = one_second(tree, {1}, [] {});
  EXPECT_EQ(second_cpu.thermal_events, 0u);
  EXPECT_DOUBLE_EQ(*second_cpu.frequency_mhz, 1200.0);
}

TEST(SecondNoise, ParsersRefuseWhatIsNotTheirFormat) {
  EXPECT_EQ(parse_process_ticks(self_stat(12, 30)), 42u);
  for (const char* bad : {"", "4242 (x) R 1 2", "4242 x R 1 2 3 4 5 6 7 8 9 10 11 12 13"}) {
    EXPECT_FALSE(parse_process_ticks(bad).has_value()) << bad;
  }
  EXPECT_EQ(parse_pressure_total(pressure(99)), 99u);
  EXPECT_FALSE(parse_pressure_total("full avg10=0 total=3\n").has_value());
  EXPECT_FALSE(parse_pressure_total("some avg10=0 total=x\n").has_value());
  EXPECT_FALSE(parse_cpu_stat("nr_throttled 3\n").has_value());  // no time
  EXPECT_EQ(parse_cpu_stat("throttled_usec 12\nnr_throttled 3\n")->microseconds, 12u);
  const auto cpus = parse_proc_stat_cpus(proc_stat(1, 2, 3, 4, 5, 6) + "cpuX 1 2 3 4\n");
  ASSERT_EQ(cpus.size(), 2u);
  EXPECT_EQ(cpus.at(1).steal, 6u);
  EXPECT_EQ(cpus.at(1).idle, 5u);
}

TEST(SecondNoise, AnEmptyTreeGivesOnlyAbsentFigures) {
  Tree tree;
  const SecondNoise noise = one_second(tree, {0}, [] {});
  EXPECT_FALSE(noise.steal_percent || noise.other_cpus || noise.other_cpus_run ||
               noise.cpu_pressure_percent || noise.throttled_percent || noise.throttled_periods ||
               noise.thermal_events || noise.frequency_mhz);
  const auto json = second_noise_json(noise);
  for (const auto& [key, value] : json.items()) EXPECT_TRUE(value.is_null()) << key;
}

}  // namespace
}  // namespace tarnwick
