#include "environment/environment.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "tarnwick/cgroup.hpp"
#include "util/json.hpp"
#include "util/utc_time.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#ifndef TARNWICK_PROGRAM_VERSION
#define TARNWICK_PROGRAM_VERSION "unknown"
#endif
#ifndef TARNWICK_BUILD_FLAGS
#define TARNWICK_BUILD_FLAGS ""
#endif

namespace tarnwick {
namespace {

std::optional<std::string> read_trimmed(const std::string& path) {
  const auto text = read_file(path);
  if (!text || trim(*text).empty()) return std::nullopt;
  return std::string(trim(*text));
}

// L2 and L3 as seen by CPU 0: the unified caches of its cache index folders.
void read_caches(CpuFacts& cpu) {
  for (int index = 0; index < 16; ++index) {
    const std::string folder =
        "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
    const auto level = read_trimmed(folder + "level");
    if (!level) break;
    if (read_trimmed(folder + "type") == "Instruction") continue;
    const auto size = read_trimmed(folder + "size");
    const auto bytes = size ? parse_cache_size(*size) : std::nullopt;
    if (*level == "2") cpu.l2_cache_bytes = bytes;
    if (*level == "3") cpu.l3_cache_bytes = bytes;
  }
}

void read_topology(CpuFacts& cpu) {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) cpu.logical_cpus = static_cast<unsigned>(online);
  std::vector<std::pair<long, long>> package_core;
  const long configured = std::max(sysconf(_SC_NPROCESSORS_CONF), online);
  for (long index = 0; index < configured && index < 8192; ++index) {
    const std::string folder = "/sys/devices/system/cpu/cpu" + std::to_string(index) + "/";
    // A CPU without its online file (cpu0 on most systems) is always online.
    if (const auto state = read_trimmed(folder + "online"); state && *state == "0") continue;
    const auto package = read_file(folder + "topology/physical_package_id");
    const auto core = read_file(folder + "topology/core_id");
    if (!package || !core) return;  // no topology: leave cores unknown
    const auto package_id = whole_number<long>(*package);
    const auto core_id = whole_number<long>(*core);
    if (!package_id || !core_id) return;
    package_core.emplace_back(*package_id, *core_id);
  }
  const Topology topology = summarize_topology(package_core);
  if (topology.logical_cpus) cpu.logical_cpus = topology.logical_cpus;
  cpu.physical_cores = topology.physical_cores;
  cpu.threads_per_core = topology.threads_per_core;
}

// The base frequency: intel_pstate's base_frequency (kHz), else the ACPI
// CPPC nominal frequency (MHz). Not cpuinfo_max_freq, which is the turbo
// ceiling on most machines, and not "cpu MHz", which is the current clock.
std::optional<double> read_nominal_mhz() {
  for (const auto& [path, per_mhz] :
       {std::pair{"/sys/devices/system/cpu/cpu0/cpufreq/base_frequency", 1000.0},
        std::pair{"/sys/devices/system/cpu/cpu0/acpi_cppc/nominal_freq", 1.0}}) {
    const auto text = read_file(path);
    const auto value = text ? whole_number<long>(*text) : std::nullopt;
    if (value && *value > 0) return static_cast<double>(*value) / per_mhz;
  }
  return std::nullopt;
}

std::optional<std::string> read_hypervisor() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return std::nullopt;
  const unsigned leaf1_ecx = ecx;
  if ((leaf1_ecx & (1u << 31)) == 0) return std::nullopt;
  // The hypervisor leaves lie above the basic range, so __get_cpuid, which
  // checks against the basic maximum, cannot be used for them.
  __cpuid(0x40000000, eax, ebx, ecx, edx);
  return hypervisor_vendor(leaf1_ecx, ebx, ecx, edx);
#else
  return std::nullopt;
#endif
}

// "GCC 12.2.0" or "Clang 14.0.6": the compiler that built this program.
std::string compiler_name() {
#if defined(__clang__)
  return std::string("Clang ") + __clang_version__;
#elif defined(__GNUC__)
  return std::string("GCC ") + __VERSION__;
#else
  return "unknown";
#endif
}

}  // namespace

nlohmann::ordered_json environment_json(const Environment& environment) {
  const CpuFacts& cpu = environment.cpu;
  return {
      {"timestamp", environment.timestamp},
      {"hostname", or_null(environment.hostname)},
      {"os", or_null(environment.os)},
      {"command_line", environment.command_line},
      {"program",
       {{"version", environment.program.version},
        {"compiler", environment.program.compiler},
        {"build_flags", environment.program.build_flags}}},
      {"cpu",
       {{"arch", or_null(cpu.arch)},
        {"model", or_null(cpu.model)},
        {"logical_cpus", or_null(cpu.logical_cpus)},
        {"physical_cores", or_null(cpu.physical_cores)},
        {"threads_per_core", or_null(cpu.threads_per_core)},
        {"nominal_mhz", or_null(cpu.nominal_mhz)},
        {"l2_cache_bytes", or_null(cpu.l2_cache_bytes)},
        {"l3_cache_bytes", or_null(cpu.l3_cache_bytes)},
        {"hypervisor", or_null(cpu.hypervisor)}}},
      {"cgroup_cpu_quota", or_null(environment.cgroup_cpu_quota)},
  };
}

std::optional<uint64_t> parse_cache_size(std::string_view text) {
  text = trim(text);
  uint64_t scale = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
        scale = 1ull << 10;
        break;
      case 'M':
        scale = 1ull << 20;
        break;
      case 'G':
        scale = 1ull << 30;
        break;
      default:
        break;
    }
    if (scale != 1) text.remove_suffix(1);
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value == 0 ||
      value > UINT64_MAX / scale) {
    return std::nullopt;
  }
  return value * scale;
}

Topology summarize_topology(const std::vector<std::pair<long, long>>& package_core) {
  Topology topology;
  if (package_core.empty()) return topology;
  topology.logical_cpus = static_cast<unsigned>(package_core.size());
  std::vector<std::pair<long, long>> cores = package_core;
  std::sort(cores.begin(), cores.end());
  size_t distinct = 0;
  size_t most = 0, fewest = SIZE_MAX;
  for (size_t first = 0; first < cores.size();) {
    size_t last = first;
    while (last < cores.size() && cores[last] == cores[first]) ++last;
    ++distinct;
    most = std::max(most, last - first);
    fewest = std::min(fewest, last - first);
    first = last;
  }
  topology.physical_cores = static_cast<unsigned>(distinct);
  if (most == fewest) topology.threads_per_core = static_cast<unsigned>(most);
  return topology;
}

std::optional<std::string> hypervisor_vendor(uint32_t leaf1_ecx, uint32_t ebx, uint32_t ecx,
                                             uint32_t edx) {
  if ((leaf1_ecx & (1u << 31)) == 0) return std::nullopt;
  std::string vendor;
  for (const uint32_t word : {ebx, ecx, edx}) {
    for (int shift = 0; shift < 32; shift += 8) {
      vendor += static_cast<char>((word >> shift) & 0xff);
    }
  }
  vendor.resize(std::min(vendor.find('\0'), vendor.size()));
  // Only printable text reaches the document.
  std::replace_if(
      vendor.begin(), vendor.end(),
      [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e;
      },
      '?');
  vendor = std::string(trim(vendor));
  if (vendor.empty()) return std::nullopt;
  return vendor;
}

std::vector<std::string> parse_cmdline(std::string_view text) {
  const std::vector<std::string_view> arguments = split(text, '\0');
  return {arguments.begin(), arguments.end()};
}

Environment read_environment(const HostFacts& host) {
  Environment environment;
  environment.timestamp = utc_text(utc_now(), false);
  utsname names{};
  if (uname(&names) == 0) {
    environment.hostname = names.nodename;
    environment.os = names.release;
    environment.cpu.arch = names.machine;
  }
  if (const auto cmdline = read_file("/proc/self/cmdline")) {
    environment.command_line = parse_cmdline(*cmdline);
  }
  environment.program = {TARNWICK_PROGRAM_VERSION, compiler_name(), TARNWICK_BUILD_FLAGS};
  environment.cpu.model = host.cpu_model;
  read_topology(environment.cpu);
  environment.cpu.nominal_mhz = read_nominal_mhz();
  read_caches(environment.cpu);
  environment.cpu.hypervisor = read_hypervisor();
  try {
    environment.cgroup_cpu_quota = cgroup_cpu_quota_cpus();
  } catch (const std::exception&) {
    // A quota that cannot be read is reported as none, as the library counts it.
  }
  return environment;
}

}  // namespace tarnwick
