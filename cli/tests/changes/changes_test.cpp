#include "changes/changes.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "changes/ci.hpp"

namespace tarnwick {
namespace {

ListedRun run(const std::string& host, uint32_t threads, int day, double mean) {
  ListedRun listed;
  listed.id = host + std::to_string(threads) + "-" + std::to_string(day);
  listed.started = fmt::format("2026-01-{:02}T02:00:00Z", day);
  listed.host = host;
  listed.label = "all-cpus";
  listed.threads = threads;
  listed.library_version = "0.0.2";
  listed.status = Status::completed;
  listed.mean_rate = mean;
  return listed;
}

TEST(SeriesOf, CutsAtEachKeyAndLeavesOutOldRuns) {
  const std::vector<ListedRun> runs = {run("a", 1, 1, 10), run("a", 1, 2, 11), run("a", 2, 1, 20),
                                       run("b", 1, 1, 30), run("b", 1, 3, 31)};
  const auto all = series_of(runs, std::nullopt);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].runs.size(), 2u);
  EXPECT_EQ(all[1].key.threads, 2u);
  EXPECT_EQ(all[2].key.host, "b");

  const auto recent = series_of(runs, parse_utc("2026-01-02T00:00:00Z"));
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0].runs.front().id, "a1-2");
  EXPECT_EQ(recent[1].runs.front().id, "b1-3");
}

TEST(SeriesOf, OneHostNameOnTwoCpuModelsIsTwoSeries) {
  // Interleaved in start order, as the history gives them; the model's
  // spelling differs only as the fleet report ignores.
  std::vector<ListedRun> runs;
  for (int day = 1; day <= 6; ++day) {
    ListedRun one = run("vm", 2, day, day % 2 == 0 ? 20 : 10);
    one.cpu_model = day % 2 == 0 ? "Model  B" : (day == 3 ? "model a " : "Model A");
    one.arch = "x86_64";
    runs.push_back(one);
  }
  const auto all = series_of(runs, std::nullopt);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].key.cpu_model, "model a");
  EXPECT_EQ(all[0].runs.size(), 3u);
  EXPECT_EQ(all[1].key.cpu_model, "model b");
  for (const ListedRun& one : all[1].runs) EXPECT_EQ(one.mean_rate, 20);
}

TEST(FailingShifts, SizeDirectionAndTheLastStepsPlace) {
  RunSeries series;
  for (int day = 1; day <= 20; ++day) series.runs.push_back(run("a", 1, day, 1));
  struct Case {
    std::size_t first, last;
    double percent;
    double threshold;
    bool either;
    std::size_t window;
    bool fails;
    bool ongoing = false;
  };
  const Case cases[] = {
      {15, 15, -6, 5, false, 10, true},       // 5 runs ago, a drop larger than asked
      {15, 15, -6, 6, false, 10, true},       // exactly the size asked
      {15, 15, -6, 7, false, 10, false},      // smaller than asked
      {15, 15, +6, 5, false, 10, false},      // a rise
      {15, 15, +6, 5, true, 10, true},        // a rise, either way
      {10, 10, -6, 5, false, 10, true},       // the first of the last 10 runs
      {9, 9, -6, 5, false, 10, false},        // 11 runs ago
      {2, 12, -6, 5, false, 10, true},        // began long ago, its last step recent
      {2, 9, -6, 5, false, 10, false},        // ended 11 runs ago
      {2, 9, -6, 5, false, 10, true, true},   // its last step 11 runs ago, still moving
      {2, 9, -4, 5, false, 10, false, true},  // still moving, smaller than asked
  };
  for (const Case& c : cases) {
    Shift shift{c.first, c.last, 1, 1 + c.percent / 100, c.percent, {}, c.ongoing};
    EXPECT_EQ(failing_shifts({{&series, shift}}, c.threshold, c.either, c.window).size(),
              c.fails ? 1u : 0u)
        << c.first << "-" << c.last << " " << c.percent << " " << c.threshold;
  }
}

std::vector<ListedRun> stepped_hosts(unsigned seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> noise(0, 0.02);
  std::vector<ListedRun> runs;
  for (int host = 0; host < 12; ++host) {
    for (int day = 1; day <= 28; ++day) {
      const double level = host % 3 == 0 && day > 14 ? 0.9 : 1.0;
      runs.push_back(run("h" + std::to_string(host), 1, day, 1e9 * level * (1 + noise(generator))));
    }
  }
  // A host with too few runs to judge.
  for (int day = 1; day <= 9; ++day) runs.push_back(run("short", 1, day, day < 5 ? 1e9 : 8e8));
  return runs;
}

TEST(FindChanges, TheSameWhateverTheThreads) {
  auto one = series_of(stepped_hosts(3), std::nullopt);
  auto two = one;
  find_changes(one, {}, 1);
  find_changes(two, {}, 2);
  const auto large_one = large_changes(one, 2);
  const auto large_two = large_changes(two, 2);
  ASSERT_EQ(large_one.shifts.size(), 4u);  // the four hosts with a step
  EXPECT_TRUE(large_one.episodes.empty());
  ASSERT_EQ(large_two.shifts.size(), large_one.shifts.size());
  for (std::size_t i = 0; i < large_one.shifts.size(); ++i) {
    EXPECT_EQ(large_one.shifts[i].first_run().id, large_two.shifts[i].first_run().id);
    EXPECT_EQ(large_one.shifts[i].shift.steps[0].p_value,
              large_two.shifts[i].shift.steps[0].p_value);
    EXPECT_NEAR(large_one.shifts[i].shift.change_percent, -10, 2);
  }
  // Nine runs are judged by nothing: listed as such, whatever their drop.
  ASSERT_EQ(large_one.not_judged.size(), 1u);
  EXPECT_EQ(large_one.not_judged[0]->key.host, "short");
  EXPECT_FALSE(large_one.not_judged[0]->judged);
  EXPECT_TRUE(large_one.not_judged[0]->changes.empty());
}

TEST(ChangesOutputs, OneHeaderPerSeriesAndEveryFigureByOneRule) {
  auto series = series_of(stepped_hosts(4), std::nullopt);
  find_changes(series, {}, 1);
  const FoundChanges found = large_changes(series, 2);
  ChangesSummary summary{"h.db", series.size(), 12 * 28 + 9, 2, {}};
  const std::string text = changes_text(summary, found);
  EXPECT_NE(text.find("4 shifts and 0 episodes of 2 % or more in 13 series (345 completed runs)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("1 series too short to judge: changes need 10 runs"), std::string::npos);
  EXPECT_NE(text.find("short · all-cpus · 1 worker · 0.0.2: 9 runs; changes need 10\n"),
            std::string::npos);
  for (const char* host : {"h0 ", "h3 ", "h6 ", "h9 "}) {
    std::size_t headers = 0;
    for (std::size_t at = text.find(std::string("\n") + host); at != std::string::npos;
         at = text.find(std::string("\n") + host, at + 1)) {
      ++headers;
    }
    EXPECT_EQ(headers, 1u) << host << "\n" << text;
  }
  EXPECT_EQ(text.find("h1 "), std::string::npos);
  // Rates: four significant digits, trailing zeros kept, the unit by the
  // rounded value.
  EXPECT_EQ(short_rate(40e3), "40.00 k");
  EXPECT_EQ(short_rate(40.03e3), "40.03 k");
  EXPECT_EQ(short_rate(999996), "1.000 M");
  EXPECT_EQ(short_rate(1e9), "1.000 G");
  EXPECT_EQ(short_rate(12.5), "12.50");
  EXPECT_EQ(signed_percent(-0.04), "0.0 %");
  EXPECT_EQ(signed_percent(-9.96), "-10.0 %");
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = text.find('\n', from);
    EXPECT_LE(text.substr(from, end - from).size(), 80u + 4) << text.substr(from, end - from);
    from = end + 1;
  }

  const auto json = changes_json(summary, series);
  EXPECT_EQ(json["schema_version"], 2);
  EXPECT_EQ(json["runs_needed"], 10);
  ASSERT_EQ(json["series"].size(), 13u);
  const auto& stepped = json["series"][0];
  EXPECT_EQ(stepped["host"], "h0");
  EXPECT_TRUE(stepped["judged"]);
  ASSERT_EQ(stepped["shifts"].size(), 1u);
  const auto& shift = stepped["shifts"][0];
  EXPECT_EQ(shift["start_run_id"], shift["steps"][0]["run_id"]);
  EXPECT_EQ(shift["runs_since_end"], 28 - found.shifts[0].shift.last);
  EXPECT_EQ(json["series"][1]["shifts"].size(), 0u);
  EXPECT_FALSE(json["series"][12]["judged"]);
  EXPECT_EQ(json["series"][12]["runs"], 9);
}

TEST(CiReports, OneCasePerSeriesNamedApartAndTheGateAlone) {
  // One host name on two CPU models: a 10 % drop in the latest runs of
  // one, a series too short to judge on the other.
  std::vector<ListedRun> runs;
  for (int day = 1; day <= 28; ++day) {
    ListedRun one = run("vm", 2, day, day > 20 ? 0.9e9 : 1e9);
    one.mean_rate = *one.mean_rate * (1 + 0.002 * ((day * 7) % 5 - 2));
    one.cpu_model = "Model A";
    runs.push_back(one);
    if (day <= 6) {
      ListedRun other = run("vm", 2, day, 2e9);
      other.id += "b";
      other.cpu_model = "Model B";
      runs.push_back(other);
    }
  }
  auto series = series_of(runs, std::nullopt);
  find_changes(series, {}, 1);
  ASSERT_EQ(series.size(), 2u);
  const FoundChanges found = large_changes(series, 2);
  ASSERT_EQ(found.shifts.size(), 1u);
  ChangesSummary summary{"h.db", series.size(), 34, 2, {}};
  ChangesReport report{&summary, &series, &found, {}, std::nullopt};
  for (const std::optional<double> gate : {std::optional<double>(), std::optional<double>(5.0)}) {
    report.fail_on_change = gate;
    report.failing =
        gate ? failing_shifts(found.shifts, *gate, false, 10) : std::vector<FoundShift>{};
    const CiSuite suite = changes_suite(report);
    ASSERT_EQ(suite.cases.size(), 2u);
    EXPECT_EQ(suite.cases[0].name, "vm · all-cpus · 2 workers · 0.0.2 · ? · model a");
    EXPECT_EQ(suite.cases[1].name, "vm · all-cpus · 2 workers · 0.0.2 · ? · model b");
    EXPECT_EQ(suite.cases[0].outcome, gate ? CiCase::Outcome::failed : CiCase::Outcome::passed);
    EXPECT_EQ(suite.cases[1].outcome, CiCase::Outcome::skipped);
    EXPECT_EQ(suite.cases[1].message, "not judged: 6 runs; changes need 10");
    const std::string& detail = suite.cases[0].detail;
    EXPECT_EQ(detail.rfind("28 runs:\nshift of -", 0), 0u) << detail;
    EXPECT_NE(detail.find(" from run vm2-21 at 2026-01-21T02:00:00Z, the latest 8 runs"),
              std::string::npos)
        << detail;

    const MarkdownTable table = changes_table(report);
    EXPECT_EQ(table.columns.size(), gate ? 7u : 6u);
    ASSERT_EQ(table.rows.size(), 2u);
    EXPECT_EQ(table.rows[0][1], "shift");
    EXPECT_EQ(table.rows[0][3], "2026-01-21 02:00");
    EXPECT_EQ(table.rows[1][1], "not judged");
    if (gate) {
      EXPECT_EQ(table.rows[0][6], "FAILED");
    }
    for (const auto& row : table.rows) EXPECT_EQ(row.size(), table.columns.size());
  }
}

}  // namespace
}  // namespace tarnwick
