// The machine and the program a session ran on, as its document records
// them. Every fact is best effort: what the system does not expose is left
// empty (null in the document), never guessed.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "environment/host_facts.hpp"

namespace tarnwick {

struct CpuFacts {
  std::optional<std::string> arch;  // uname -m
  std::optional<std::string> model;
  std::optional<unsigned> logical_cpus, physical_cores, threads_per_core;
  std::optional<double> nominal_mhz;  // the base frequency, where exposed
  std::optional<uint64_t> l2_cache_bytes, l3_cache_bytes;
  std::optional<std::string> hypervisor;  // the vendor signature from CPUID
};

// The program's own build; the library's build is fixed by its presets.
struct ProgramBuild {
  std::string version;
  std::string compiler;     // "GCC 12.2.0"
  std::string build_flags;  // the C++ flags of the build type, then the options
};

struct Environment {
  std::string timestamp;  // UTC, to the second: the start of the command
  std::optional<std::string> hostname, os;
  std::vector<std::string> command_line;
  ProgramBuild program;
  CpuFacts cpu;
  std::optional<double> cgroup_cpu_quota;  // CPUs
};

// The document's "environment" object.
[[nodiscard]] nlohmann::ordered_json environment_json(const Environment& environment);

// "4096K" (a sysfs cache size) in bytes; K, M and G are powers of 1024.
[[nodiscard]] std::optional<uint64_t> parse_cache_size(std::string_view text);

// Logical CPUs, physical cores and threads per core from the (package, core)
// pair of each online CPU; threads per core only when every core has as many.
struct Topology {
  std::optional<unsigned> logical_cpus, physical_cores, threads_per_core;
};
[[nodiscard]] Topology summarize_topology(const std::vector<std::pair<long, long>>& package_core);

// The hypervisor's vendor signature (CPUID leaf 0x40000000: EBX, ECX, EDX),
// or nothing when the hypervisor bit (leaf 1, ECX bit 31) is clear.
[[nodiscard]] std::optional<std::string> hypervisor_vendor(uint32_t leaf1_ecx, uint32_t ebx,
                                                           uint32_t ecx, uint32_t edx);

// The arguments of a /proc/<pid>/cmdline text (NUL-separated).
[[nodiscard]] std::vector<std::string> parse_cmdline(std::string_view text);

// Reads the environment now. The CPU model is the host facts' (the same
// source for the document's host block).
[[nodiscard]] Environment read_environment(const HostFacts& host);

}  // namespace tarnwick
