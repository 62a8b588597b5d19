// What the terminal and the chart show: the live rate, the frames that
// redraw the progress line, word wrapping, and the chart's shared axes and
// its one-panel form for many runs.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "formats/summary.hpp"
#include "formats/svg.hpp"
#include "make_run.hpp"
#include "run/progress.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

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
  for (const Shown& c :
       {Shown{119, "\r\x1b[2K" + up + up + "abc\x1b[K"}, Shown{80, "\r\x1b[2K" + up + "abc\x1b[K"},
        Shown{81, "\r\x1b[2K" + up + up + "abc\x1b[K"}, Shown{40, "\rabc\x1b[K"},
        Shown{0, "\rabc\x1b[K"}}) {
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

TEST(WrapWords, FoldsAtSpacesUnderTheValueAndNeverSplitsAWord) {
  struct Case {
    std::string text;
    int width, indent;
    std::string expected;
  };
  const std::string row = "  window       2.000 s measured of 2 s, after a 0.5 s warm-up";
  for (const Case& c : {
           Case{row, 39, 15,
                "  window       2.000 s measured of 2 s,\n"
                "               after a 0.5 s warm-up"},
           Case{row, 37, 15,
                "  window       2.000 s measured of\n"
                "               2 s, after a 0.5 s\n"
                "               warm-up"},
           Case{row, 0, 15, row},
           Case{row, 200, 15, row},
           // Too narrow for the indent: it shrinks to leave 20 columns.
           Case{"host           a b c d e f g h i j k l", 25, 15,
                "host           a b c d e\n     f g h i j k l"},
           // A word wider than the room keeps a line of its own, whole.
           Case{"x 0123456789abcdef y", 10, 2, "x\n0123456789abcdef\ny"},
           // Escape sequences take no column.
           Case{"ab \x1b[33mwarning:\x1b[0m cd ef gh ij kl mn", 24, 2,
                "ab \x1b[33mwarning:\x1b[0m cd ef gh ij\n  kl mn"},
           Case{"one\n\ntwo three", 5, 0, "one\n\ntwo\nthree"},
           Case{"a step 5 %)", 9, 0, "a step\n5 %)"},
           Case{"  cv 0.67 % CV", 23, 6, "  cv 0.67 % CV"},
           Case{"  variation 25.88 % CV", 18, 0, "  variation\n25.88 % CV"},
       }) {
    EXPECT_EQ(wrap_words(c.text, c.width, c.indent), c.expected) << c.text;
  }
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

// The tick labels of the rate axis, per panel. Plain searches, not <regex>,
// which GCC 12 warns about at -O1 (the sanitizer builds).
std::vector<std::vector<std::string>> rate_axes(const std::string& svg) {
  constexpr std::string_view TICK = "text-anchor=\"end\">";
  std::vector<std::vector<std::string>> axes;
  for (std::size_t at = svg.find("<g"); at != std::string::npos;) {
    const std::size_t next = svg.find("<g transform", at + 1);
    const std::string part = svg.substr(at, next == std::string::npos ? next : next - at);
    axes.emplace_back();
    for (std::size_t tick = part.find(TICK); tick != std::string::npos;
         tick = part.find(TICK, tick + 1)) {
      const std::size_t start = tick + TICK.size();
      axes.back().push_back(part.substr(start, part.find('<', start) - start));
    }
    at = next;
  }
  return axes;
}

double root_height(const std::string& svg) {
  const std::size_t root = svg.find("<svg ");
  if (root == std::string::npos) return -1;
  const std::size_t height = svg.find(" height=\"", root);
  if (height == std::string::npos || height > svg.find('>', root)) return -1;
  return std::stod(svg.substr(height + 9));
}

std::string without_commas(std::string text) {
  std::erase(text, ',');
  return text;
}

TEST(SessionSvg, PanelsShareOneRateAxisAndNameTheirRun) {
  // --both --repeat 3: rates far apart, so separate axes would differ.
  std::vector<RunReport> runs;
  for (unsigned round = 1; round <= 3; ++round) {
    runs.push_back(completed_run({1000.0 * round, 1100.0 * round}));
    runs.push_back(completed_run({9000.0 * round, 9500.0 * round}, 2, "all-cpus"));
    runs[runs.size() - 2].repetition = runs.back().repetition = round;
  }
  const std::string svg = session_svg(session_of(runs));
  const auto axes = rate_axes(svg);
  ASSERT_EQ(axes.size(), 6u);
  for (const auto& axis : axes) EXPECT_EQ(axis, axes.front());
  EXPECT_EQ(axes.front().front(), "0");
  EXPECT_GE(std::stod(without_commas(axes.front().back())), 28500.0);
  for (const char* name : {"single \u00b7 run 1 of 3", "all-cpus \u00b7 run 2 of 3",
                           "single \u00b7 run 3 of 3", "all-cpus \u00b7 run 3 of 3"}) {
    EXPECT_NE(svg.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(root_height(svg), 6 * 360.0);
  // A run of its own needs no number.
  const std::string one = session_svg(session_of({completed_run({1000, 1100})}));
  EXPECT_NE(one.find("tarnwick 0.0.2 \u00b7 single</text>"), std::string::npos) << one;
  EXPECT_EQ(one.find("run 1 of"), std::string::npos);
}

TEST(SessionSvg, ManyRunsBecomeOneDistributionPanel) {
  struct Case {
    unsigned rounds;
    bool both;
    std::size_t panels;
  };
  // --repeat 10000, and pairs of --both (fewer: the pairs' scaling costs
  // time in proportion to the square of their number).
  for (const Case& c :
       {Case{6, false, 6}, Case{7, false, 1}, Case{10000, false, 1}, Case{1000, true, 1}}) {
    std::vector<RunReport> runs;
    for (unsigned round = 1; round <= c.rounds; ++round) {
      // Run 4321 has one slow second: its mark's bar must reach down to it.
      const double dip = round == 4321 ? 100.0 : 990.0;
      runs.push_back(completed_run({1000.0, dip, 1010.0}));
      runs.back().repetition = round;
      if (c.both) {
        runs.push_back(completed_run({1800.0, 1900.0}, 2, "all-cpus"));
        runs.back().repetition = round;
      }
    }
    const std::string svg = session_svg(session_of(runs));
    EXPECT_EQ(root_height(svg), 360.0 * static_cast<double>(c.panels)) << c.rounds;
    EXPECT_LE(root_height(svg), 2160.0);
    if (c.panels > 1) continue;
    EXPECT_NE(svg.find(fmt::format("{} runs", runs.size())), std::string::npos);
    EXPECT_NE(svg.find("single: median 1,000 steps/s"), std::string::npos);
    EXPECT_EQ(svg.find(">all-cpus</text>") != std::string::npos, c.both) << c.rounds;
    // About one mark per 3 pixels of the plot, however many runs.
    std::size_t circles = 0;
    for (std::size_t at = svg.find("<circle"); at != std::string::npos;
         at = svg.find("<circle", at + 1)) {
      ++circles;
    }
    const std::size_t labels = c.both ? 2 : 1;
    EXPECT_LE(circles, labels * 226 + labels) << c.rounds;
    EXPECT_GE(circles, std::min<std::size_t>(runs.size(), labels * 200)) << c.rounds;
    EXPECT_LT(svg.size(), 400'000u);
    if (c.rounds > 1000) {
      EXPECT_NE(svg.find("per second 100 to 1,010 steps/s"), std::string::npos);
    }
    if (c.rounds >= 1000) {
      EXPECT_NE(svg.find("mean of neighbouring runs"), std::string::npos);
    } else {
      EXPECT_NE(svg.find("single run 7: mean 1,000 steps/s, per second 990 to 1,010 steps/s"),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tarnwick
