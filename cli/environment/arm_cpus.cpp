#include "environment/arm_cpus.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <map>

#include "environment/host_facts.hpp"

namespace tarnwick {
namespace {

struct Implementer {
  uint32_t id;
  std::string_view name;
};

// The MIDR_EL1 implementer codes assigned by Arm.
constexpr std::array IMPLEMENTERS{
    Implementer{0x41, "Arm"},     Implementer{0x42, "Broadcom"},  Implementer{0x43, "Cavium"},
    Implementer{0x46, "Fujitsu"}, Implementer{0x48, "HiSilicon"}, Implementer{0x4e, "NVIDIA"},
    Implementer{0x50, "APM"},     Implementer{0x51, "Qualcomm"},  Implementer{0x61, "Apple"},
    Implementer{0xc0, "Ampere"},
};

struct Part {
  uint32_t implementer;
  uint32_t part;
  std::string_view name;
};

// Part numbers from the designers' technical reference manuals (each core's
// MIDR_EL1 description) and the vendors' published values. Licensees that
// ship Arm's own designs (Graviton, Altra, most phones) report 0x41 and
// Arm's numbers; only custom cores carry their own implementer.
constexpr std::array PARTS{
    // Arm
    Part{0x41, 0xc07, "Cortex-A7"},
    Part{0x41, 0xc09, "Cortex-A9"},
    Part{0x41, 0xc0f, "Cortex-A15"},
    Part{0x41, 0xd01, "Cortex-A32"},
    Part{0x41, 0xd03, "Cortex-A53"},
    Part{0x41, 0xd04, "Cortex-A35"},
    Part{0x41, 0xd05, "Cortex-A55"},
    Part{0x41, 0xd06, "Cortex-A65"},
    Part{0x41, 0xd07, "Cortex-A57"},
    Part{0x41, 0xd08, "Cortex-A72"},
    Part{0x41, 0xd09, "Cortex-A73"},
    Part{0x41, 0xd0a, "Cortex-A75"},
    Part{0x41, 0xd0b, "Cortex-A76"},
    Part{0x41, 0xd0c, "Neoverse-N1"},
    Part{0x41, 0xd0d, "Cortex-A77"},
    Part{0x41, 0xd0e, "Cortex-A76AE"},
    Part{0x41, 0xd40, "Neoverse-V1"},
    Part{0x41, 0xd41, "Cortex-A78"},
    Part{0x41, 0xd42, "Cortex-A78AE"},
    Part{0x41, 0xd43, "Cortex-A65AE"},
    Part{0x41, 0xd44, "Cortex-X1"},
    Part{0x41, 0xd46, "Cortex-A510"},
    Part{0x41, 0xd47, "Cortex-A710"},
    Part{0x41, 0xd48, "Cortex-X2"},
    Part{0x41, 0xd49, "Neoverse-N2"},
    Part{0x41, 0xd4a, "Neoverse-E1"},
    Part{0x41, 0xd4b, "Cortex-A78C"},
    Part{0x41, 0xd4c, "Cortex-X1C"},
    Part{0x41, 0xd4d, "Cortex-A715"},
    Part{0x41, 0xd4e, "Cortex-X3"},
    Part{0x41, 0xd4f, "Neoverse-V2"},
    Part{0x41, 0xd80, "Cortex-A520"},
    Part{0x41, 0xd81, "Cortex-A720"},
    Part{0x41, 0xd82, "Cortex-X4"},
    // Broadcom
    Part{0x42, 0x516, "Vulcan"},
    // Cavium (ThunderX2 grew out of Broadcom's Vulcan)
    Part{0x43, 0x0a1, "ThunderX 88XX"},
    Part{0x43, 0x0a2, "ThunderX 81XX"},
    Part{0x43, 0x0a3, "ThunderX 83XX"},
    Part{0x43, 0x0af, "ThunderX2 99XX"},
    // Fujitsu
    Part{0x46, 0x001, "A64FX"},
    // HiSilicon (Kunpeng 920)
    Part{0x48, 0xd01, "TSV110"},
    // NVIDIA
    Part{0x4e, 0x003, "Denver 2"},
    Part{0x4e, 0x004, "Carmel"},
    // Qualcomm's own designs
    Part{0x51, 0x801, "Kryo 2XX Silver"},
    Part{0x51, 0x803, "Kryo 3XX Silver"},
    Part{0x51, 0x804, "Kryo 4XX Gold"},
    Part{0x51, 0x805, "Kryo 4XX Silver"},
    Part{0x51, 0xc00, "Falkor"},
    Part{0x51, 0xc01, "Saphira"},
    // Apple (Linux on Apple silicon)
    Part{0x61, 0x022, "M1 Icestorm"},
    Part{0x61, 0x023, "M1 Firestorm"},
    Part{0x61, 0x024, "M1 Pro Icestorm"},
    Part{0x61, 0x025, "M1 Pro Firestorm"},
    Part{0x61, 0x028, "M1 Max Icestorm"},
    Part{0x61, 0x029, "M1 Max Firestorm"},
    Part{0x61, 0x032, "M2 Blizzard"},
    Part{0x61, 0x033, "M2 Avalanche"},
    // Ampere's own cores (Altra is Neoverse-N1, 0x41 0xd0c)
    Part{0xc0, 0xac3, "Ampere-1"},
    Part{0xc0, 0xac4, "Ampere-1a"},
};

// "0x41", "0xd0c" or "65" as a number.
std::optional<uint32_t> parse_number(std::string_view text) {
  text = trim(text);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<std::string_view> arm_implementer_name(uint32_t implementer) {
  for (const Implementer& known : IMPLEMENTERS) {
    if (known.id == implementer) return known.name;
  }
  return std::nullopt;
}

std::string arm_core_name(ArmCore core) {
  for (const Part& known : PARTS) {
    if (known.implementer == core.implementer && known.part == core.part) {
      return fmt::format("{} {}", *arm_implementer_name(core.implementer), known.name);
    }
  }
  if (const auto vendor = arm_implementer_name(core.implementer)) {
    return fmt::format("{} part {:#05x}", *vendor, core.part);
  }
  return fmt::format("implementer {:#04x} part {:#05x}", core.implementer, core.part);
}

std::vector<ArmCore> parse_arm_cpuinfo(std::string_view cpuinfo) {
  std::vector<ArmCore> cores;
  std::optional<uint32_t> implementer;
  for (const std::string_view line : split(cpuinfo)) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, colon));
    if (key == "CPU implementer") {
      implementer = parse_number(line.substr(colon + 1));
    } else if (key == "CPU part" && implementer) {
      if (const auto part = parse_number(line.substr(colon + 1))) {
        cores.push_back(ArmCore{*implementer, *part});
      }
    }
  }
  return cores;
}

std::optional<ArmCore> parse_midr(std::string_view text) {
  text = trim(text);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value == 0) {
    return std::nullopt;
  }
  return ArmCore{static_cast<uint32_t>((value >> 24) & 0xff),
                 static_cast<uint32_t>((value >> 4) & 0xfff)};
}

std::optional<std::string> arm_cpu_model(const std::vector<ArmCore>& cores) {
  if (cores.empty()) return std::nullopt;
  // Highest implementer and part first: one order for one machine.
  std::map<std::pair<uint32_t, uint32_t>, std::size_t, std::greater<>> counts;
  for (const ArmCore& core : cores) ++counts[{core.implementer, core.part}];
  if (counts.size() == 1) return arm_core_name(cores.front());
  std::string model;
  for (const auto& [key, count] : counts) {
    model += fmt::format("{}{} x{}", model.empty() ? "" : " + ",
                         arm_core_name(ArmCore{key.first, key.second}), count);
  }
  return model + " (mixed cores)";
}

std::optional<std::string> read_arm_cpu_model() {
  if (const auto cpuinfo = read_file("/proc/cpuinfo")) {
    if (auto model = arm_cpu_model(parse_arm_cpuinfo(*cpuinfo))) return model;
  }
  // Some kernels and containers hide the cpuinfo fields but not sysfs.
  std::vector<ArmCore> cores;
  for (int cpu = 0; cpu < 8192; ++cpu) {
    const auto text =
        read_file(fmt::format("/sys/devices/system/cpu/cpu{}/regs/identification/midr_el1", cpu));
    if (!text) break;
    if (const auto core = parse_midr(*text)) cores.push_back(*core);
  }
  return arm_cpu_model(cores);
}

}  // namespace tarnwick
