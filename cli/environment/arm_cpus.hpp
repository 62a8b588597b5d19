// Arm machines name no CPU model: their /proc/cpuinfo has no "model name",
// only the implementer and part numbers of each core (the MIDR_EL1
// register's fields). These functions turn those numbers into a model name
// from the designers' published part numbers, so that different cores
// never share a fleet group as "unknown". Pure except read_arm_cpu_model().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// One core's identity.
struct ArmCore {
  uint32_t implementer = 0;  // MIDR_EL1 bits 31..24: 0x41 Arm, 0x61 Apple, ...
  uint32_t part = 0;         // bits 15..4
  bool operator==(const ArmCore&) const = default;
};

// "Arm", "Apple", ...; nothing for an implementer the table does not know.
[[nodiscard]] std::optional<std::string_view> arm_implementer_name(uint32_t implementer);

// "Arm Neoverse-N1", "Apple M1 Firestorm"; for numbers the table does not
// know, the numbers themselves ("Arm part 0xd99", "implementer 0x99 part
// 0x123"), which still keep unlike cores apart.
[[nodiscard]] std::string arm_core_name(ArmCore core);

// Each core listed by a /proc/cpuinfo text, in order: every "CPU part" line
// with the "CPU implementer" line before it. Empty on other architectures.
[[nodiscard]] std::vector<ArmCore> parse_arm_cpuinfo(std::string_view cpuinfo);

// A midr_el1 file's value ("0x00000000410fd0c1"), or nothing.
[[nodiscard]] std::optional<ArmCore> parse_midr(std::string_view text);

// The model of a machine with these cores: "Arm Neoverse-N1" when all are
// alike; for mixed cores (big.LITTLE) every kind with its count, in one
// fixed order (part number, highest first) so a machine keeps its name
// whatever order its kernel lists the cores in:
// "Arm Cortex-X1 x1 + Arm Cortex-A78 x3 + Arm Cortex-A55 x4 (mixed cores)".
// Nothing for no cores.
[[nodiscard]] std::optional<std::string> arm_cpu_model(const std::vector<ArmCore>& cores);

// This machine's Arm model from /proc/cpuinfo, else from sysfs's
// midr_el1 files; nothing on other machines.
[[nodiscard]] std::optional<std::string> read_arm_cpu_model();

}  // namespace tarnwick
