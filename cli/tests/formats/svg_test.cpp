#include "formats/svg.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "make_run.hpp"

namespace tarnwick {
namespace {

TEST(SessionSvg, EscapesTextAndHasAPanelPerRun) {
  Session session =
      session_of({completed_run({1000, 1100}), completed_run({2000, 2100}, 2, "all-cpus")});
  session.version = "<v>";
  const std::string svg = session_svg(session);
  EXPECT_EQ(svg.find("<v>"), std::string::npos);
  std::size_t panels = 0;
  for (std::size_t at = svg.find("<g "); at != std::string::npos; at = svg.find("<g ", at + 1)) {
    ++panels;
  }
  EXPECT_EQ(panels, 2u);
  EXPECT_NE(svg.find("height=\"720\""), std::string::npos);
  // The y-axis starts at zero, and the pair's scaling is in the title.
  EXPECT_NE(svg.find("text-anchor=\"end\">0</text>"), std::string::npos);
  EXPECT_NE(svg.find("2,050 steps/s \u00b7 CV 2.44 % (stable) \u00b7 scaling 0.976"),
            std::string::npos);
  EXPECT_NE(svg.find("all CPUs, 2 workers \u00b7 mean 2,050 steps/s \u00b7 CV 2.44 % (stable)"),
            std::string::npos);
  EXPECT_EQ(svg.find("disturbed"), std::string::npos);  // no reading, nothing marked
}

TEST(SessionSvg, PairsRunsByRepetitionNotByPlace) {
  // Run in an order where each all-CPUs run follows the other repetition's
  // single run: its scaling is still its own repetition's.
  RunReport single1 = completed_run({1000, 1000});
  RunReport multi2 = completed_run({3000, 3000}, 2, "all-cpus");
  RunReport single2 = completed_run({1500, 1500});
  RunReport multi1 = completed_run({1800, 1800}, 2, "all-cpus");
  multi2.repetition = single2.repetition = 2;
  const std::string svg = session_svg(session_of({single1, multi2, single2, multi1}));
  EXPECT_NE(svg.find("mean 3,000 steps/s \u00b7 CV 0.00 % (stable) \u00b7 scaling 1.000"),
            std::string::npos)
      << svg;
  EXPECT_NE(svg.find("mean 1,800 steps/s \u00b7 CV 0.00 % (stable) \u00b7 scaling 0.900"),
            std::string::npos);
  EXPECT_EQ(svg.find("scaling 1.500"), std::string::npos);
  EXPECT_EQ(svg.find("scaling 0.600"), std::string::npos);
}

TEST(SessionSvg, MarksEachDisturbedSecondWithItsFigures) {
  RunReport run = completed_run({1000, 700, 690, 1000});
  run.sample_noise.assign(4, SecondNoise{});
  run.sample_noise[1]->steal_percent = 12.5;
  run.sample_noise[2]->other_cpus_run = 0.8;
  run.disturbed_samples = {1, 2};
  const std::string svg = session_svg(session_of({run}));
  std::size_t marks = 0;
  for (std::size_t at = svg.find("class=\"disturbed\""); at != std::string::npos;
       at = svg.find("class=\"disturbed\"", at + 1)) {
    ++marks;
  }
  EXPECT_EQ(marks, 2u);
  EXPECT_NE(svg.find("<title>second 2: disturbed, steal 12.5 %</title>"), std::string::npos) << svg;
  EXPECT_NE(svg.find("<title>second 3: disturbed, other processes 0.80 of the run's CPUs</title>"),
            std::string::npos);
  EXPECT_NE(svg.find(">disturbed second</text>"), std::string::npos);  // in the legend
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
