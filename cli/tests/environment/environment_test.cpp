#include "environment/environment.hpp"

#include <gtest/gtest.h>

#include "environment/noise.hpp"

namespace tarnwick {
namespace {

TEST(ParseCacheSize, ReadsSysfsSizes) {
  EXPECT_EQ(parse_cache_size("48K\n"), 48u * 1024);
  EXPECT_EQ(parse_cache_size("2048K"), 2u << 20);
  EXPECT_EQ(parse_cache_size("32M"), 32u << 20);
  EXPECT_EQ(parse_cache_size("1G"), 1u << 30);
  EXPECT_EQ(parse_cache_size("512"), 512u);
  for (const char* bad : {"", "K", "0K", "-4K", "4 K", "4KB", "x", "99999999999999999999K"}) {
    EXPECT_FALSE(parse_cache_size(bad).has_value()) << bad;
  }
}

TEST(SummarizeTopology, CountsCoresAndThreads) {
  // Two packages of two cores with two threads each.
  const Topology smt =
      summarize_topology({{0, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 0}, {0, 1}, {1, 0}, {1, 1}});
  EXPECT_EQ(smt.logical_cpus, 8u);
  EXPECT_EQ(smt.physical_cores, 4u);
  EXPECT_EQ(smt.threads_per_core, 2u);
  // Uneven threads (a CPU offline): no threads-per-core figure.
  const Topology uneven = summarize_topology({{0, 0}, {0, 0}, {0, 1}});
  EXPECT_EQ(uneven.physical_cores, 2u);
  EXPECT_FALSE(uneven.threads_per_core.has_value());
  EXPECT_FALSE(summarize_topology({}).logical_cpus.has_value());
}

TEST(HypervisorVendor, ReadsTheSignatureOnlyWithTheHypervisorBit) {
  // "KVMKVMKVM\0\0\0" as CPUID returns it, little-endian words.
  const uint32_t ebx = 0x4b4d564b, ecx = 0x564b4d56, edx = 0x0000004d;
  EXPECT_EQ(hypervisor_vendor(1u << 31, ebx, ecx, edx), "KVMKVMKVM");
  EXPECT_FALSE(hypervisor_vendor(0x7ffaf3ff, ebx, ecx, edx).has_value());
  // "Microsoft Hv" fills all twelve bytes.
  EXPECT_EQ(hypervisor_vendor(1u << 31, 0x7263694d, 0x666f736f, 0x76482074), "Microsoft Hv");
  EXPECT_FALSE(hypervisor_vendor(1u << 31, 0, 0, 0).has_value());
}

TEST(ParseCmdline, SplitsAtNulKeepingEmptyArguments) {
  using std::string_literals::operator""s;
  EXPECT_EQ(parse_cmdline("tarnwick\0--repeat\0003\0"s),
            (std::vector<std::string>{"tarnwick", "--repeat", "3"}));
  EXPECT_EQ(parse_cmdline("a\0\0b\0"s), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(parse_cmdline("").empty());
}

TEST(ParseProcStat, ReadsTheAggregateLine) {
  const auto ticks = parse_proc_stat(
      "cpu  216711 5 23714 49814 402 1 125 68 30 0\ncpu0 108000 0 11000 25000 200 0 60 30 0 0\n");
  ASSERT_TRUE(ticks.has_value());
  EXPECT_EQ(ticks->total, 216711u + 5 + 23714 + 49814 + 402 + 1 + 125 + 68);  // guest is in user
  EXPECT_EQ(ticks->idle, 49814u + 402);
  EXPECT_EQ(ticks->steal, 68u);
  // An old kernel without steal.
  EXPECT_EQ(parse_proc_stat("cpu 10 0 5 85\n")->steal, 0u);
  for (const char* bad : {"", "cpu0 1 2 3 4", "cpu 1 2 3", "cpu 1 2 x 4 5", "intr 1 2 3 4"}) {
    EXPECT_FALSE(parse_proc_stat(bad).has_value()) << bad;
  }
}

TEST(NoiseBetween, StealAndOtherProcessesOverTheWindow) {
  using namespace std::chrono_literals;
  NoiseReading start;
  start.ticks = CpuTicks{1000, 500, 10};
  start.own_cpu_seconds = 2.0;
  start.involuntary_switches = 40;
  NoiseReading end = start;
  end.when = start.when + 2s;
  // Two CPUs for 2 s at 100 ticks/s: 400 ticks, 100 idle, 20 stolen; 280
  // busy ticks are 2.8 CPU-seconds, of which 1.8 were ours.
  end.ticks = CpuTicks{1400, 600, 30};
  end.own_cpu_seconds = 3.8;
  end.involuntary_switches = 52;
  const Noise noise = noise_between(start, end, 100, false);
  EXPECT_DOUBLE_EQ(*noise.steal_percent, 5.0);
  EXPECT_DOUBLE_EQ(*noise.other_cpus, 0.5);
  EXPECT_EQ(noise.involuntary_context_switches, 12u);
  EXPECT_FALSE(noise.in_container);

  // Our own time measured finer than the ticks: never below zero.
  end.own_cpu_seconds = 6.0;
  EXPECT_DOUBLE_EQ(*noise_between(start, end, 100, true).other_cpus, 0.0);
  // No /proc/stat, or no time: only the switches.
  end.ticks.reset();
  const Noise blind = noise_between(start, end, 100, true);
  EXPECT_FALSE(blind.steal_percent || blind.other_cpus);
  EXPECT_EQ(blind.involuntary_context_switches, 12u);
  EXPECT_TRUE(blind.in_container);
}

TEST(LooksLikeContainer, PidNamespaceMarkersAndCgroups) {
  const std::string host_ns = "pid:[4026531836]";
  struct Case {
    ContainerSigns signs;
    bool container;
  };
  for (const Case& c : {
           Case{{host_ns, false, false, "0::/\n"}, false},
           Case{{host_ns, false, false, "4:memory:/process_api/2823a7\n0::/\n"}, false},
           Case{{"pid:[4026532291]", false, false, "0::/\n"}, true},
           Case{{host_ns, true, false, "0::/\n"}, true},
           Case{{host_ns, false, true, "0::/\n"}, true},
           Case{{host_ns, false, false, "12:cpu:/docker/3f2a\n"}, true},
           Case{{host_ns, false, false, "0::/kubepods.slice/kubepods-pod1.slice\n"}, true},
           Case{{"", false, false, ""}, false},
       }) {
    EXPECT_EQ(looks_like_container(c.signs), c.container)
        << c.signs.pid_namespace << " " << c.signs.cgroup;
  }
}

TEST(ExplainNoise, NamesWhatTheFiguresShow) {
  const auto text = [](std::optional<double> steal, std::optional<double> other, bool container) {
    return explain_noise(Noise{steal, other, 3, container});
  };
  EXPECT_EQ(text(9.34, 0.05, false), "steal 9.3 % of CPU time (the hypervisor ran other guests)");
  EXPECT_EQ(text(0.2, 0.7, false), "other processes used 0.70 CPUs");
  EXPECT_EQ(text(12.0, 1.25, false),
            "steal 12 % of CPU time (the hypervisor ran other guests) and other processes used "
            "1.2 CPUs");
  EXPECT_EQ(text(0.4, 0.05, false),
            "nothing visible to the guest explains it (steal 0.40 %, other processes 0.05 CPUs)");
  EXPECT_EQ(text(0.4, 0.7, true),
            "other processes used 0.70 CPUs; inside a container /proc/stat is the host's, so these "
            "figures cover other containers too");
  EXPECT_EQ(explain_noise(std::nullopt), "no figures of other work could be read for this run");
}

}  // namespace
}  // namespace tarnwick
