// Arm models from cpuinfo texts as real machines print them.
#include "environment/arm_cpus.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace tarnwick {
namespace {

// One aarch64 cpuinfo block per core, as the kernel prints it.
std::string aarch64_block(int processor, const char* part, const char* variant = "0x3",
                          const char* revision = "1", const char* implementer = "0x41") {
  return fmt::format(
      "processor\t: {}\n"
      "BogoMIPS\t: 243.75\n"
      "Features\t: fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid "
      "asimdrdm lrcpc dcpop asimddp ssbs\n"
      "CPU implementer\t: {}\n"
      "CPU architecture: 8\n"
      "CPU variant\t: {}\n"
      "CPU part\t: {}\n"
      "CPU revision\t: {}\n\n",
      processor, implementer, variant, part, revision);
}

std::string repeat(int count, int first, const char* part, const char* variant = "0x3") {
  std::string text;
  for (int index = 0; index < count; ++index) text += aarch64_block(first + index, part, variant);
  return text;
}

TEST(ArmCpus, NamesMachinesFromTheirCpuinfo) {
  // A Raspberry Pi 4 on a 64-bit kernel: the board lines come after the cores.
  const std::string raspberry_pi_4 =
      repeat(4, 0, "0xd08", "0x0") +
      "Hardware\t: BCM2835\nRevision\t: c03114\nSerial\t\t: 10000000e3d9f5a2\n"
      "Model\t\t: Raspberry Pi 4 Model B Rev 1.4\n";
  // A Raspberry Pi 4 on a 32-bit kernel names a useless model first.
  const std::string raspberry_pi_4_armv7 =
      "processor\t: 0\nmodel name\t: ARMv7 Processor rev 3 (v7l)\nBogoMIPS\t: 108.00\n"
      "Features\t: half thumb fastmult vfp edsp neon vfpv3 tls vfpv4 idiva idivt vfpd32 lpae "
      "evtstrm crc32\nCPU implementer\t: 0x41\nCPU architecture: 7\nCPU variant\t: 0x0\n"
      "CPU part\t: 0xd08\nCPU revision\t: 3\n\n"
      "Hardware\t: BCM2711\nRevision\t: c03111\n";
  // Snapdragon 888: one Cortex-X1, three A78 and four A55, little cores first.
  const std::string snapdragon_888 =
      repeat(4, 0, "0xd05", "0x1") + repeat(3, 4, "0xd41", "0x1") + repeat(1, 7, "0xd44", "0x1");
  // The same phone with its cores listed in another order names the same model.
  const std::string snapdragon_888_shuffled =
      repeat(1, 0, "0xd44") + repeat(4, 1, "0xd05") + repeat(3, 5, "0xd41");
  const std::string x86 =
      "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
      "model name\t: Intel(R) Xeon(R) Platinum 8259CL CPU @ 2.50GHz\n";

  const struct {
    const char* machine;
    std::string cpuinfo;
    std::optional<std::string> model;
  } cases[] = {
      {"Graviton2", repeat(64, 0, "0xd0c"), "Arm Neoverse-N1"},
      {"Graviton3", repeat(64, 0, "0xd40", "0x1"), "Arm Neoverse-V1"},
      {"Graviton4", repeat(96, 0, "0xd4f", "0x0"), "Arm Neoverse-V2"},
      {"Raspberry Pi 4", raspberry_pi_4, "Arm Cortex-A72"},
      {"Raspberry Pi 4, 32-bit", raspberry_pi_4_armv7, "Arm Cortex-A72"},
      {"Snapdragon 888", snapdragon_888,
       "Arm Cortex-X1 x1 + Arm Cortex-A78 x3 + Arm Cortex-A55 x4 (mixed cores)"},
      {"Snapdragon 888, other order", snapdragon_888_shuffled,
       "Arm Cortex-X1 x1 + Arm Cortex-A78 x3 + Arm Cortex-A55 x4 (mixed cores)"},
      {"Kunpeng 920", aarch64_block(0, "0xd01", "0x1", "0", "0x48"), "HiSilicon TSV110"},
      {"A64FX", aarch64_block(0, "0x001", "0x1", "0", "0x46"), "Fujitsu A64FX"},
      {"AmpereOne", aarch64_block(0, "0xac3", "0x0", "0", "0xc0"), "Ampere Ampere-1"},
      {"ThunderX2", aarch64_block(0, "0x0af", "0x1", "1", "0x43"), "Cavium ThunderX2 99XX"},
      {"future Arm core", aarch64_block(0, "0xd99"), "Arm part 0xd99"},
      {"unknown designer", aarch64_block(0, "0x123", "0x0", "0", "0x99"),
       "implementer 0x99 part 0x123"},
      {"x86", x86, std::nullopt},
      {"empty", "", std::nullopt},
      {"part without implementer", "CPU part\t: 0xd0c\n", std::nullopt},
  };
  for (const auto& item : cases) {
    EXPECT_EQ(arm_cpu_model(parse_arm_cpuinfo(item.cpuinfo)), item.model) << item.machine;
  }
  // Different cores never share a name, so never a fleet group.
  EXPECT_NE(arm_cpu_model(parse_arm_cpuinfo(repeat(2, 0, "0xd0c"))),
            arm_cpu_model(parse_arm_cpuinfo(repeat(2, 0, "0xd40"))));
}

TEST(ArmCpus, ReadsMidrRegisters) {
  // Graviton2's sysfs value: implementer 0x41, variant 3, part 0xd0c, revision 1.
  EXPECT_EQ(parse_midr("0x00000000413fd0c1\n"), (ArmCore{0x41, 0xd0c}));
  EXPECT_EQ(parse_midr("0x00000000611f0231"), (ArmCore{0x61, 0x023}));
  for (const char* bad : {"", "0x", "zz", "0x0", "0x413fd0c1 junk"}) {
    EXPECT_FALSE(parse_midr(bad)) << bad;
  }
  EXPECT_EQ(arm_core_name(*parse_midr("0x00000000611f0231")), "Apple M1 Firestorm");
}

}  // namespace
}  // namespace tarnwick
