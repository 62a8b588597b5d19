#include "formats/summary.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "make_run.hpp"
#include "run/progress.hpp"
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

TEST(Sparkline, StepsOfFivePercentAroundTheReference) {
  // The reference is the middle bar; 85 % and below the lowest, 115 % and
  // above the highest.
  EXPECT_EQ(sparkline(one_second_samples({1000, 850, 500, 1150, 5000, 900, 1040}), 1000.0),
            blocks({3, 0, 0, 6, 6, 1, 4}));
  EXPECT_EQ(sparkline({}, 1000.0), "");
}

TEST(Sparkline, WithoutAReferenceScalesToTheHighestRate) {
  EXPECT_EQ(sparkline(one_second_samples({1000, 900}), 0.0), blocks({3, 1}));
  EXPECT_EQ(sparkline(one_second_samples({0, 0}), 0.0), blocks({0, 0}));
}

TEST(Sparkline, MergesSamplesByDurationBeyondTheWidth) {
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

TextStyle wide(int width = 200, bool utf8 = true) {
  TextStyle style;
  style.width = width;
  style.utf8 = utf8;
  return style;
}

Progress report(Phase phase, uint32_t threads, double fraction, double elapsed, double length,
                uint64_t operations) {
  return {phase, threads, fraction, Seconds(elapsed), Seconds(length), operations};
}

TEST(ProgressLine, ShowsPhaseBarTimesAndRate) {
  // 30 s of 180 s planned, 10 s into the measurement at 1.5 M steps/s;
  // the second of three runs, so 360 s more to come after this one.
  const Progress progress = report(Phase::measurement, 1, 1.0 / 6.0, 10.0, 60.0, 15'000'000);
  const std::string line =
      progress_line(progress, 1'500'000.0, "single", 180.0, {2, 3, 360.0, {}}, wide());
  for (const char* part :
       {"2/3 single", "measuring", " 17%", "0:30 / 3:00", "left 8:30", "1,500,000 steps/s"}) {
    EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;
  }
  EXPECT_EQ(progress_line(progress, 1.0, "single", 180.0, {}, wide()).find("1/1"),
            std::string::npos);
}

TEST(ProgressLine, WithPrecisionShowsTheRunTheLimitAndTheHalfWidth) {
  // Run 7 of an open-ended command, 2 s into a 3 s run, 95 s to the limit
  // after it.
  const Progress progress = report(Phase::measurement, 1, 2.0 / 3.0, 2.0, 3.0, 2'000'000);
  const std::string line = progress_line(progress, 1e6, "single", 3.0, {7, 0, 95.0, 1.234}, wide());
  for (const char* part : {"run 7 single", "left \u2264 1:36", "\u00b11.23 %", "steps/s"}) {
    EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;
  }
  EXPECT_EQ(line.find("7/"), std::string::npos) << line;
  // No interval yet; in ASCII.
  const std::string ascii =
      progress_line(progress, 1e6, "single", 3.0, {1, 0, 95.0, {}}, wide(120, false));
  EXPECT_NE(ascii.find("left <= 1:36  +-- %"), std::string::npos) << ascii;
  // Narrow, the half-width goes before the rate.
  const std::string narrow =
      progress_line(progress, 1e6, "single", 3.0, {7, 0, 95.0, 1.234}, wide(30));
  EXPECT_NE(narrow.find("\u00b11.23 %"), std::string::npos) << narrow;
}

TEST(ProgressLine, FitsTheWidthDroppingTheBarFirstAndTheRateLast) {
  const Progress progress = report(Phase::measurement, 2, 0.75, 45.0, 60.0, 4'500'000'000);
  struct Case {
    int width;
    std::vector<const char*> shown, dropped;
  };
  const char* const BAR = "\u2588";
  for (const Case& c :
       {Case{200,
             {"1/2", "all-cpus", BAR, "75%", "2:15 / 3:00", "left 3:45", "100,000,000 steps/s"},
             {}},
        Case{80, {"1/2", "all-cpus", "measuring", BAR, "left 3:45", "steps/s"}, {}},
        Case{60, {"1/2", "measuring", "left 3:45", "steps/s"}, {BAR}},
        Case{40, {"left 3:45", "100,000,000 steps/s"}, {BAR, "2:15", "75%"}},
        Case{20, {"100,000,000 steps/s"}, {"left"}}}) {
    const std::string line =
        progress_line(progress, 1e8, "all-cpus", 180.0, {1, 2, 180.0, {}}, wide(c.width));
    EXPECT_LT(display_width(line), c.width) << line;
    for (const char* part : c.shown)
      EXPECT_NE(line.find(part), std::string::npos) << c.width << ": " << line;
    for (const char* part : c.dropped)
      EXPECT_EQ(line.find(part), std::string::npos) << c.width << ": " << line;
  }
  // Outside UTF-8 the bar is ASCII, and nothing else needs more.
  const std::string ascii = progress_line(progress, 1e8, "single", 180.0, {}, wide(120, false));
  EXPECT_NE(ascii.find("##################------"), std::string::npos) << ascii;
  EXPECT_TRUE(std::all_of(ascii.begin(), ascii.end(), [](char c) { return (c & 0x80) == 0; }));
}

TEST(ProgressLine, SurvivesTheFirstReportAndOddValues) {
  const Progress first = report(Phase::warmup, 2, 0.0, 0.0, 120.0, 0);
  const std::string line = progress_line(first, std::nullopt, "all-cpus", 180.0, {}, wide());
  EXPECT_NE(line.find("warm-up"), std::string::npos) << line;
  EXPECT_NE(line.find("- steps/s"), std::string::npos) << line;
  const Progress odd = report(static_cast<Phase>(99), 1, std::nan(""), -1.0, 0.0, 5);
  EXPECT_NE(progress_line(odd, std::nullopt, "x", 0.0, {}, wide()).find("  0%"), std::string::npos);
  // A short command shows tenths of seconds.
  const Progress short_run = report(Phase::measurement, 1, 0.5, 0.6, 1.3, 600);
  EXPECT_NE(
      progress_line(short_run, 1000.0, "single", 1.4, {}, wide()).find("0.7 s / 1.4 s  left 0.7 s"),
      std::string::npos);
}

}  // namespace
}  // namespace tarnwick
