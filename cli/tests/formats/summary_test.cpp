#include "formats/summary.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "make_run.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// One UTF-8 block character is three bytes.
std::string blocks(std::initializer_list<int> levels) {
  static const char* const names[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                      "\u2585", "\u2586", "\u2587"};
  std::string text;
  for (const int level : levels) text += names[level];
  return text;
}

std::vector<Sample> one_second_samples(std::initializer_list<double> rates) {
  std::vector<Sample> samples;
  double time = 0.0;
  for (const double rate : rates) {
    time += 1.0;
    samples.push_back({Seconds(time), Seconds(1.0), static_cast<uint64_t>(rate), rate});
  }
  return samples;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> all;
  for (std::string word; in >> word;) all.push_back(word);
  return all;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) all.push_back(line);
  return all;
}

TEST(SamplesSparkline, StepsOfFivePercentAroundTheReference) {
  // The reference is the middle bar; 85 % and below the lowest, 115 % and
  // above the highest.
  EXPECT_EQ(sparkline(one_second_samples({1000, 850, 500, 1150, 5000, 900, 1040}), 1000.0),
            blocks({3, 0, 0, 6, 6, 1, 4}));
  EXPECT_EQ(sparkline({}, 1000.0), "");
}

TEST(SamplesSparkline, WithoutAReferenceScalesToTheHighestRate) {
  EXPECT_EQ(sparkline(one_second_samples({1000, 900}), 0.0), blocks({3, 1}));
  EXPECT_EQ(sparkline(one_second_samples({0, 0}), 0.0), blocks({0, 0}));
}

TEST(SamplesSparkline, MergesSamplesByDurationBeyondTheWidth) {
  // Two columns of two samples: (1000 x 1 s + 1400 x 3 s) / 4 s = 1300 and
  // (600 + 1000) / 2 = 800.
  const std::vector<Sample> samples = {{Seconds(1.0), Seconds(1.0), 1000, 1000.0},
                                       {Seconds(4.0), Seconds(3.0), 4200, 1400.0},
                                       {Seconds(5.0), Seconds(1.0), 600, 600.0},
                                       {Seconds(6.0), Seconds(1.0), 1000, 1000.0}};
  EXPECT_EQ(sparkline(samples, 1000.0, 2), blocks({6, 0}));
  // Five samples in two columns: three, then a short one of two.
  EXPECT_EQ(sparkline(one_second_samples({1000, 1000, 1000, 1000, 800}), 1000.0, 2),
            blocks({3, 1}));
}

TEST(RunSummary, ShowsTheFiguresOfACompletedRun) {
  const RunReport run = completed_run({1'200'000, 1'000'000, 800'000});
  const std::string text = run_summary(run, "0.0.2");
  for (const char* part : {"tarnwick 0.0.2", "1 worker", "1,000,000 steps/s", "16.33 % CV",
                           "UNSTABLE", "3.000 s measured of 3 s, after a 0.05 s warm-up",
                           "3,000,000", "0x0123456789abcdef", "min 800,000", "max 1,200,000"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
  EXPECT_EQ(text.find("CANCELLED"), std::string::npos);
  EXPECT_NE(run_summary(completed_run({1000, 1100, 900}), "0.0.2").find("8.16 % CV, stable"),
            std::string::npos);
}

TEST(RunSummary, ACancelledRunShowsWhatWasMeasuredButNoMean) {
  const std::string text = run_summary(cancelled_run({1000, 1100}), "0.0.2");
  EXPECT_NE(text.find("CANCELLED"), std::string::npos) << text;
  EXPECT_NE(text.find("2,100"), std::string::npos) << text;
  EXPECT_NE(text.find("mean rate    - (only for a completed run)"), std::string::npos) << text;
  EXPECT_NE(text.find("samples      2"), std::string::npos) << text;
}

TEST(SessionSummary, AddsScalingAndHostAndSkipsFailedRuns) {
  RunReport failed;
  failed.label = "all-cpus";
  failed.result.reason = "cannot start worker: oops";
  Session session =
      session_of({completed_run({1000, 1000}), completed_run({3600, 3600}, 2, "all-cpus")});
  std::string text = session_summary(session);
  EXPECT_NE(text.find("scaling        1.800"), std::string::npos) << text;
  EXPECT_NE(text.find("Example CPU\n               2 CPUs available (affinity)\n"
                      "               governor unknown, load 0.25"),
            std::string::npos)
      << text;
  session.environment.cpu.arch = "aarch64";
  EXPECT_NE(session_summary(session).find("Example CPU (aarch64)\n"), std::string::npos);
  // Under a quota, the CPU line says so next to the workers it allowed.
  session.environment.cgroup_cpu_quota = 1.5;
  session.host.cpus_available = 1;
  session.host.cpus_source = "library";
  text = session_summary(session);
  EXPECT_NE(text.find("1.5 CPUs by the control group's quota, 1 worker\n"), std::string::npos)
      << text;
  session.runs[1] = failed;
  text = session_summary(session);
  EXPECT_EQ(text.find("scaling"), std::string::npos) << text;
  EXPECT_EQ(text.find("oops"), std::string::npos) << text;
}

TEST(SessionSummary, WrapsToFortyColumnsWithoutSplittingWords) {
  Session session =
      session_of({completed_run({1000, 1100}), completed_run({2000, 2100}, 2, "all-cpus")});
  session.runs[0].result.status = Status::cancelled;
  session.runs[0].result.mean_rate.reset();
  session.runs[0].result.cv_percent.reset();
  Session repeated =
      session_of({completed_run({1000, 1100}), completed_run({2000, 2100}, 2, "all-cpus"),
                  completed_run({1000, 1200}), completed_run({2000, 2300}, 2, "all-cpus")});
  repeated.runs[2].repetition = repeated.runs[3].repetition = 2;
  for (const Session* each : {&session, &repeated}) {
    TextStyle narrow;
    narrow.width = 40;
    narrow.wrap = 39;
    TextStyle whole = narrow;
    whole.wrap = 0;
    const std::string wrapped = session_summary(*each, narrow);
    const std::string unwrapped = session_summary(*each, whole);
    ASSERT_NE(wrapped, unwrapped) << "nothing was wider than 39 columns";
    for (const std::string& line : lines(wrapped)) {
      EXPECT_LE(display_width(line), 39) << line;
    }
    EXPECT_EQ(words(wrapped), words(unwrapped)) << wrapped;
  }
}

}  // namespace
}  // namespace tarnwick
