// The places of a result document the reader looks into, and the keys it
// knows in each; every other key's value is skipped unread.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
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

// The keys the reader knows at `where`; none directly in an array.
inline std::span<const KeyName> keys_at(Where where) {
  switch (where) {
    case Where::Top:
      return TOP_KEYS;
    case Where::Library:
      return LIBRARY_KEYS;
    case Where::Environment:
      return ENVIRONMENT_KEYS;
    case Where::Cpu:
      return CPU_KEYS;
    case Where::Host:
      return HOST_KEYS;
    case Where::Run:
      return RUN_KEYS;
    case Where::Noise:
      return NOISE_KEYS;
    case Where::Sample:
      return SAMPLE_KEYS;
    case Where::SampleNoise:
      return SAMPLE_NOISE_KEYS;
    case Where::Runs:
    case Where::Samples:
      break;
  }
  return {};
}

// The field `name` is at `where`; Other for a key the reader skips.
inline Field field_of(Where where, std::string_view name) {
  for (const KeyName& key : keys_at(where)) {
    // The first byte tells most keys apart without a comparison call.
    if (key.name.size() == name.size() && key.name[0] == name[0] && key.name == name) {
      return key.field;
    }
  }
  return Field::Other;
}

// The key of `field` at `where`, for messages; empty when it has none.
inline std::string_view key_name(Where where, Field field) {
  for (const KeyName& key : keys_at(where)) {
    if (key.field == field) return key.name;
  }
  return {};
}

// A field as a bit of the mask of the keys an object gave.
constexpr uint64_t field_bit(Field field) { return uint64_t{1} << static_cast<unsigned>(field); }

// The key of the first of `required` that an object at `where` did not
// give (`given`, of field_bits); nothing when it gave them all.
inline std::optional<std::string_view> first_missing(Where where, uint64_t given,
                                                     std::initializer_list<Field> required) {
  for (const Field field : required) {
    if ((given & field_bit(field)) == 0) return key_name(where, field);
  }
  return std::nullopt;
}

}  // namespace tarnwick::reading
