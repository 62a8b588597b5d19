#include "formats/csv.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "make_run.hpp"

namespace tarnwick {
namespace {

TEST(SamplesCsv, OneLinePerSampleThatReadsBack) {
  RunReport multi = completed_run({3000.5, 2999.25}, 2, "all-cpus");
  multi.result.samples[0].time = Seconds(0.1 + 0.2);
  // The second sample was read and found disturbed; the first was not read.
  multi.sample_noise = {std::nullopt,
                        SecondNoise{6.5, 1.25, 0.75, 30.0, 0.0, 0u, std::nullopt, 2400.0}};
  multi.disturbed_samples = {1};
  const std::string csv = samples_csv(session_of({completed_run({1000}), multi}));
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line,
            "run,threads,index,time,duration,operations,rate,repetition,steal_percent,other_cpus,"
            "other_cpus_run,cpu_pressure_percent,throttled_percent,throttled_periods,thermal_"
            "events,frequency_mhz,disturbed");
  std::getline(lines, line);
  EXPECT_EQ(line, "single,1,0,1,1,1000,1000,1,,,,,,,,,0");
  std::getline(lines, line);
  EXPECT_EQ(line.substr(0, 13), "all-cpus,2,0,");
  // The shortest exact text of 0.1 + 0.2.
  EXPECT_NE(line.find(",0.30000000000000004,"), std::string::npos) << line;
  std::getline(lines, line);
  EXPECT_EQ(line, "all-cpus,2,1,2,1,2999,2999.25,1,6.5,1.25,0.75,30,0,0,,2400,1");
  EXPECT_FALSE(std::getline(lines, line));
  EXPECT_EQ(samples_csv(session_of({})),
            "run,threads,index,time,duration,operations,rate,repetition,steal_percent,other_cpus,"
            "other_cpus_run,cpu_pressure_percent,throttled_percent,throttled_periods,thermal_"
            "events,frequency_mhz,disturbed\n");
}

}  // namespace
}  // namespace tarnwick
