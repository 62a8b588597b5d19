#include "formats/csv.hpp"

#include <fmt/format.h>

#include "util/escaping.hpp"

namespace tarnwick {

std::string samples_csv(const Session& session) {
  std::string text = "run,threads,index,time,duration,operations,rate,repetition\n";
  for (const RunReport& run : session.runs) {
    for (std::size_t index = 0; index < run.result.samples.size(); ++index) {
      const Sample& sample = run.result.samples[index];
      // "{}" is the shortest text that reads back as the same double.
      text += fmt::format("{},{},{},{},{},{},{},{}\n", csv_cell(run.label), run.result.threads,
                          index, sample.time.count(), sample.duration.count(), sample.operations,
                          sample.rate, run.repetition);
    }
  }
  return text;
}

}  // namespace tarnwick
