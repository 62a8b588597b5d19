// The places of a result document the reader looks into, and the keys it
// knows in each; every other key's value is skipped unread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnwick::reading {

// The objects the reader looks into.
enum class Where : uint8_t {
  Top,
  Library,
  Environment,
  Cpu,
  Host,
  Runs,
  Run,
  Noise,
  Samples,
  Sample,
  SampleNoise
};

enum class Field : uint8_t {
  Other,
  SchemaVersion,
  Program,
  Status,
  Library,
  Environment,
  Host,
  Runs,
  Version,
  Timestamp,
  Hostname,
  Cpu,
  Model,
  Arch,
  CpuModel,
  CpusAvailable,
  Id,
  Label,
  Repetition,
  Started,
  Ended,
  Reason,
  Threads,
  MeanRate,
  CvPercent,
  Unstable,
  MeasuredSeconds,
  Operations,
  Checksum,
  SampleCount,
  Samples,
  Noise,
  StealPercent,
  OtherCpus,
  InContainer,
  Time,
  Rate,
  Duration,
  DisturbedSeconds,
  OtherCpusRun,
  CpuPressurePercent,
  ThrottledPercent,
  ThrottledPeriods,
  ThermalEvents,
  FrequencyMhz,
  Disturbed,
};

struct KeyName {
  std::string_view name;
  Field field;
};

inline constexpr std::array TOP_KEYS{KeyName{"schema_version", Field::SchemaVersion},
                                     KeyName{"program", Field::Program},
                                     KeyName{"status", Field::Status},
                                     KeyName{"library", Field::Library},
                                     KeyName{"environment", Field::Environment},
                                     KeyName{"host", Field::Host},
                                     KeyName{"runs", Field::Runs}};
inline constexpr std::array LIBRARY_KEYS{KeyName{"version", Field::Version}};
inline constexpr std::array ENVIRONMENT_KEYS{KeyName{"timestamp", Field::Timestamp},
                                             KeyName{"hostname", Field::Hostname},
                                             KeyName{"cpu", Field::Cpu}};
inline constexpr std::array CPU_KEYS{KeyName{"model", Field::Model}, KeyName{"arch", Field::Arch}};
inline constexpr std::array HOST_KEYS{KeyName{"cpu_model", Field::CpuModel},
                                      KeyName{"cpus_available", Field::CpusAvailable}};
inline constexpr std::array RUN_KEYS{KeyName{"id", Field::Id},
                                     KeyName{"label", Field::Label},
                                     KeyName{"repetition", Field::Repetition},
                                     KeyName{"started", Field::Started},
                                     KeyName{"ended", Field::Ended},
                                     KeyName{"status", Field::Status},
                                     KeyName{"reason", Field::Reason},
                                     KeyName{"threads", Field::Threads},
                                     KeyName{"mean_rate", Field::MeanRate},
                                     KeyName{"cv_percent", Field::CvPercent},
                                     KeyName{"unstable", Field::Unstable},
                                     KeyName{"measured_seconds", Field::MeasuredSeconds},
                                     KeyName{"operations", Field::Operations},
                                     KeyName{"checksum", Field::Checksum},
                                     KeyName{"sample_count", Field::SampleCount},
                                     KeyName{"samples", Field::Samples},
                                     KeyName{"noise", Field::Noise}};
inline constexpr std::array NOISE_KEYS{KeyName{"steal_percent", Field::StealPercent},
                                       KeyName{"other_cpus", Field::OtherCpus},
                                       KeyName{"in_container", Field::InContainer},
                                       KeyName{"disturbed_seconds", Field::DisturbedSeconds}};
inline constexpr std::array SAMPLE_KEYS{
    KeyName{"time", Field::Time}, KeyName{"duration", Field::Duration},
    KeyName{"operations", Field::Operations}, KeyName{"rate", Field::Rate},
    KeyName{"noise", Field::Noise}};
// A sample's noise, in the order the program writes it.
inline constexpr std::array SAMPLE_NOISE_KEYS{
    KeyName{"steal_percent", Field::StealPercent},
    KeyName{"other_cpus", Field::OtherCpus},
    KeyName{"other_cpus_run", Field::OtherCpusRun},
    KeyName{"cpu_pressure_percent", Field::CpuPressurePercent},
    KeyName{"throttled_percent", Field::ThrottledPercent},
    KeyName{"throttled_periods", Field::ThrottledPeriods},
    KeyName{"thermal_events", Field::ThermalEvents},
    KeyName{"frequency_mhz", Field::FrequencyMhz},
    KeyName{"disturbed", Field::Disturbed}};

template <std::size_t N>
Field find_field(const std::array<KeyName, N>& keys, std::string_view name) {
  for (const KeyName& key : keys) {
    // The first byte tells most keys apart without a comparison call.
    if (key.name.size() == name.size() && key.name[0] == name[0] && key.name == name) {
      return key.field;
    }
  }
  return Field::Other;
}

// The field `name` is at `where`; Other for a key the reader skips.
inline Field field_of(Where where, std::string_view name) {
  switch (where) {
    case Where::Top:
      return find_field(TOP_KEYS, name);
    case Where::Library:
      return find_field(LIBRARY_KEYS, name);
    case Where::Environment:
      return find_field(ENVIRONMENT_KEYS, name);
    case Where::Cpu:
      return find_field(CPU_KEYS, name);
    case Where::Host:
      return find_field(HOST_KEYS, name);
    case Where::Run:
      return find_field(RUN_KEYS, name);
    case Where::Noise:
      return find_field(NOISE_KEYS, name);
    case Where::Sample:
      return find_field(SAMPLE_KEYS, name);
    case Where::SampleNoise:
      return find_field(SAMPLE_NOISE_KEYS, name);
    case Where::Runs:
    case Where::Samples:
      break;
  }
  return Field::Other;
}

// The key of `field` at `where`, for messages; empty when it has none.
inline std::string_view key_name(Where where, Field field) {
  std::string_view name;
  const auto find = [&](const auto& keys) {
    for (const KeyName& key : keys) {
      if (key.field == field) name = key.name;
    }
  };
  switch (where) {
    case Where::Top:
      find(TOP_KEYS);
      break;
    case Where::Library:
      find(LIBRARY_KEYS);
      break;
    case Where::Environment:
      find(ENVIRONMENT_KEYS);
      break;
    case Where::Cpu:
      find(CPU_KEYS);
      break;
    case Where::Host:
      find(HOST_KEYS);
      break;
    case Where::Run:
      find(RUN_KEYS);
      break;
    case Where::Noise:
      find(NOISE_KEYS);
      break;
    case Where::Sample:
      find(SAMPLE_KEYS);
      break;
    case Where::SampleNoise:
      find(SAMPLE_NOISE_KEYS);
      break;
    case Where::Runs:
    case Where::Samples:
      break;
  }
  return name;
}

}  // namespace tarnwick::reading
