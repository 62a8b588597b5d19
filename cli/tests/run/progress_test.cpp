#include "run/progress.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "util/text.hpp"

namespace tarnwick {
namespace {

TEST(PhaseRate, CountsFromThePhasesFirstReportAfterAWholeInterval) {
  // The reports a run on this machine gave: the phase's first report comes
  // a millisecond in, with no steps or a couple of batches.
  struct Step {
    Phase phase;
    double elapsed;
    uint64_t operations;
    std::optional<double> rate;
  };
  PhaseRate rate;
  const std::vector<Step> steps = {
      {Phase::warmup, 0.0004, 0, std::nullopt},  // was "0 steps/s"
      {Phase::warmup, 0.1004, 600, 6000.0},
      {Phase::warmup, 0.4004, 2400, 6000.0},
      {Phase::measurement, 0.0012, 16, std::nullopt},   // was 13,333: a spike
      {Phase::measurement, 0.0300, 300, std::nullopt},  // too short to say
      {Phase::measurement, 0.1012, 1016, 10000.0},
      {Phase::measurement, 0.0500, 400, std::nullopt},  // time went back
      {Phase::measurement, 0.2500, 2400, 10000.0},
  };
  for (const Step& step : steps) {
    const std::optional<double> shown =
        rate.update({step.phase, 1, 0.5, Seconds(step.elapsed), Seconds(1.0), step.operations});
    ASSERT_EQ(shown.has_value(), step.rate.has_value()) << step.elapsed;
    if (shown) {
      EXPECT_NEAR(*shown, *step.rate, 1e-6 * *step.rate) << step.elapsed;
    }
  }
  // A new run starts in the same phase the last one stopped in.
  rate.reset();
  EXPECT_FALSE(rate.update({Phase::measurement, 1, 0.5, Seconds(0.3), Seconds(1.0), 3000}));
}

TEST(ProgressFrame, ErasesTheRowsALongerLineWrappedIntoOrUsesNoEscape) {
  TextStyle style;
  style.width = 40;
  // After the terminal narrowed to 40 columns, a line of 119 wraps into three
  // rows, the cursor on the last: erase it and the two above, then draw.
  struct Shown {
    int columns;
    std::string expected;
  };
  const std::string up = "\x1b[A\x1b[2K";
  const std::vector<Shown> cases = {Shown{119, "\r\x1b[2K" + up + up + "abc\x1b[K"},
                                    Shown{80, "\r\x1b[2K" + up + "abc\x1b[K"},
                                    Shown{81, "\r\x1b[2K" + up + up + "abc\x1b[K"},
                                    Shown{40, "\rabc\x1b[K"}, Shown{0, "\rabc\x1b[K"}};
  for (const Shown& c : cases) {
    EXPECT_EQ(ProgressDisplay::frame("abc", c.columns, style), c.expected) << c.columns;
  }
  style.escapes = false;
  struct Case {
    int shown, width;
    std::string line, expected;
  };
  for (const Case& c : {Case{10, 40, "abc", "\rabc" + std::string(7, ' ') + "\r"},
                        Case{119, 40, "abc", "\rabc" + std::string(36, ' ') + "\r"},
                        Case{2, 40, "abc", "\rabc\r"}, Case{5, 40, "", "\r     \r"}}) {
    style.width = c.width;
    EXPECT_EQ(ProgressDisplay::frame(c.line, c.shown, style), c.expected) << c.shown;
  }
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
        Case{82, {"1/2", "all-cpus", "measuring", BAR, "left 3:45", "steps/s"}, {}},
        Case{80, {"1/2", "all-cpus", "measuring", "left 3:45", "steps/s"}, {BAR}},
        Case{60, {"1/2", "measuring", "left 3:45", "steps/s"}, {BAR}},
        Case{40, {"left 3:45", "100,000,000 steps/s"}, {BAR, "2:15", "75%"}},
        Case{22, {"100,000,000 steps/s"}, {"left"}}}) {
    const std::string line =
        progress_line(progress, 1e8, "all-cpus", 180.0, {1, 2, 180.0, {}}, wide(c.width));
    // The last column and the two of the "^C" a terminal echoes stay free.
    EXPECT_LE(display_width(line), c.width - 3) << line;
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
