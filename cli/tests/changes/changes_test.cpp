#include "changes/changes.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

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

TEST(FailingChanges, SizeDirectionAndWindow) {
  RunSeries series;
  for (int day = 1; day <= 20; ++day) series.runs.push_back(run("a", 1, day, 1));
  struct Case {
    std::size_t index;
    double percent;
    double threshold;
    bool either;
    std::size_t last;
    bool fails;
  };
  const Case cases[] = {
      {15, -6, 5, false, 10, true},   // 5 runs ago, a drop larger than asked
      {15, -6, 6, false, 10, true},   // exactly the size asked
      {15, -6, 7, false, 10, false},  // smaller than asked
      {15, +6, 5, false, 10, false},  // a rise
      {15, +6, 5, true, 10, true},    // a rise, either way
      {10, -6, 5, false, 10, true},   // the first of the last 10 runs
      {9, -6, 5, false, 10, false},   // 11 runs ago
  };
  for (const Case& c : cases) {
    const FoundChange found{&series, {c.index, 0.001, 1, 1 + c.percent / 100, c.percent}};
    EXPECT_EQ(failing_changes({found}, c.threshold, c.either, c.last).size(), c.fails ? 1u : 0u)
        << c.index << " " << c.percent << " " << c.threshold;
  }
}

TEST(FindChanges, TheSameWhateverTheThreads) {
  std::mt19937_64 generator(3);
  std::normal_distribution<double> noise(0, 0.02);
  std::vector<ListedRun> runs;
  for (int host = 0; host < 12; ++host) {
    for (int day = 1; day <= 28; ++day) {
      const double level = host % 3 == 0 && day > 14 ? 0.9 : 1.0;
      runs.push_back(run("h" + std::to_string(host), 1, day, 1e9 * level * (1 + noise(generator))));
    }
  }
  auto one = series_of(runs, std::nullopt);
  auto two = one;
  find_changes(one, {}, 1);
  find_changes(two, {}, 2);
  const auto large_one = large_changes(one, 2);
  const auto large_two = large_changes(two, 2);
  ASSERT_EQ(large_one.size(), 4u);  // the four hosts with a step
  ASSERT_EQ(large_two.size(), large_one.size());
  for (std::size_t i = 0; i < large_one.size(); ++i) {
    EXPECT_EQ(large_one[i].first_run().id, large_two[i].first_run().id);
    EXPECT_EQ(large_one[i].change.p_value, large_two[i].change.p_value);
    EXPECT_NEAR(large_one[i].change.change_percent, -10, 2);
  }
}

TEST(ChangesJson, EachChangeHasExactlyItsFields) {
  RunSeries series;
  series.key = {"", "all-cpus", 4, "0.0.2", "x86_64", "cpu"};
  for (int day = 1; day <= 3; ++day) series.runs.push_back(run("", 4, day, 1));
  const auto json = changes_json({"h.db", 1, 3, 2, {}}, {{&series, {1, 0.004, 100, 94, -6}}});
  const auto& change = json["changes"][0];
  EXPECT_EQ(change.size(), 10u);
  EXPECT_TRUE(change["host"].is_null());
  EXPECT_EQ(change["run_id"], series.runs[1].id);
  EXPECT_EQ(change["started"], series.runs[1].started);
  EXPECT_EQ(change["change_percent"], -6);
  EXPECT_EQ(json["schema_version"], 1);
}

}  // namespace
}  // namespace tarnwick
