#include "formats/csv.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <optional>

#include "util/escaping.hpp"

namespace tarnwick {

namespace {

// An empty cell where the machine gave no figure.
template <typename T>
std::string cell(const std::optional<T>& value) {
  return value ? fmt::format("{}", *value) : std::string();
}

}  // namespace

std::string samples_csv(const Session& session) {
  std::string text =
      "run,threads,index,time,duration,operations,rate,repetition,steal_percent,other_cpus,"
      "other_cpus_run,cpu_pressure_percent,throttled_percent,throttled_periods,thermal_events,"
      "frequency_mhz,disturbed\n";
  for (const RunReport& run : session.runs) {
    for (std::size_t index = 0; index < run.result.samples.size(); ++index) {
      const Sample& sample = run.result.samples[index];
      // "{}" is the shortest text that reads back as the same double.
      text += fmt::format("{},{},{},{},{},{},{},{}", csv_cell(run.label), run.result.threads, index,
                          sample.time.count(), sample.duration.count(), sample.operations,
                          sample.rate, run.repetition);
      const SecondNoise noise = index < run.sample_noise.size() && run.sample_noise[index]
                                    ? *run.sample_noise[index]
                                    : SecondNoise{};
      const bool disturbed =
          std::binary_search(run.disturbed_samples.begin(), run.disturbed_samples.end(), index);
      text += fmt::format(",{},{},{},{},{},{},{},{},{}\n", cell(noise.steal_percent),
                          cell(noise.other_cpus), cell(noise.other_cpus_run),
                          cell(noise.cpu_pressure_percent), cell(noise.throttled_percent),
                          cell(noise.throttled_periods), cell(noise.thermal_events),
                          cell(noise.frequency_mhz), disturbed ? 1 : 0);
    }
  }
  return text;
}

}  // namespace tarnwick
