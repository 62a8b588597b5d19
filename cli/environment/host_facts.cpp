#include "environment/host_facts.hpp"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "environment/arm_cpus.hpp"
#include "util/numbers.hpp"

namespace tarnwick {

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const auto end = text.find(separator);
    pieces.push_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
  return pieces;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return contents.str();
}

// A large set covers machines with more than CPU_SETSIZE processors.
std::vector<unsigned> allowed_cpus() {
  constexpr int MAX_CPUS = 8192;
  cpu_set_t* set = CPU_ALLOC(MAX_CPUS);
  if (set == nullptr) return {};
  const size_t size = CPU_ALLOC_SIZE(MAX_CPUS);
  std::vector<unsigned> cpus;
  if (sched_getaffinity(0, size, set) == 0) {
    for (int cpu = 0; cpu < MAX_CPUS; ++cpu) {
      if (CPU_ISSET_S(static_cast<size_t>(cpu), size, set)) {
        cpus.push_back(static_cast<unsigned>(cpu));
      }
    }
  }
  CPU_FREE(set);
  return cpus;
}

std::optional<std::string> parse_cpu_model(std::string_view cpuinfo) {
  for (const std::string_view line : split(cpuinfo)) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || trim(line.substr(0, colon)) != "model name") continue;
    const std::string_view model = trim(line.substr(colon + 1));
    if (!model.empty()) return std::string(model);
  }
  return std::nullopt;
}

std::optional<double> parse_load_average(std::string_view loadavg) {
  loadavg = trim(loadavg);
  const auto space = loadavg.find_first_of(" \t");
  const auto value = parse_number(loadavg.substr(0, space));
  if (!value || !(*value >= 0.0) || *value > 1e9) return std::nullopt;
  return value;
}

std::optional<std::string> combine_governors(std::vector<std::string> governors) {
  for (auto& governor : governors) governor = std::string(trim(governor));
  std::erase(governors, std::string{});
  std::sort(governors.begin(), governors.end());
  governors.erase(std::unique(governors.begin(), governors.end()), governors.end());
  if (governors.empty()) return std::nullopt;
  std::string joined = governors.front();
  for (auto it = std::next(governors.begin()); it != governors.end(); ++it) joined += "," + *it;
  return joined;
}

bool load_suggests_other_work(double load_average, unsigned cpus_available) {
  if (cpus_available == 0) cpus_available = 1;
  return load_average >= 0.5 * static_cast<double>(cpus_available);
}

HostFacts read_host_facts() {
  HostFacts facts;
  if (const auto cpuinfo = read_file("/proc/cpuinfo")) facts.cpu_model = parse_cpu_model(*cpuinfo);
  // Arm's cpuinfo names no model (or only "ARMv7 Processor"): name the cores.
  if (auto arm = read_arm_cpu_model()) facts.cpu_model = std::move(arm);
  if (const auto loadavg = read_file("/proc/loadavg")) {
    facts.load_average = parse_load_average(*loadavg);
  }
  const std::vector<unsigned> cpus = allowed_cpus();
  facts.cpus_available = static_cast<unsigned>(cpus.size());
  std::vector<std::string> governors;
  for (const unsigned cpu : cpus) {
    const auto governor = read_file("/sys/devices/system/cpu/cpu" + std::to_string(cpu) +
                                    "/cpufreq/scaling_governor");
    if (governor) governors.push_back(*governor);
  }
  facts.governor = combine_governors(std::move(governors));
  return facts;
}

}  // namespace tarnwick
