#include "document/repetition_summary.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document/json_writer.hpp"
#include "formats/summary.hpp"
#include "make_run.hpp"

namespace tarnwick {
namespace {

TEST(Repetitions, SummarizeEachLabelAndScaleEachPair) {
  // Single means 1000, 1100, 900, 1000, 2000: median 1000, MAD 100, so the
  // fifth is 0.6745 x 1000 / 100 = 6.7 robust z away; a cancelled run is not
  // counted. Pairs: 1800 / (2 x 1000) = 0.9 and 2200 / (2 x 1100) = 1.0.
  std::vector<RunReport> runs;
  const double single_rates[] = {1000, 1100, 900, 1000, 2000};
  for (unsigned index = 0; index < 5; ++index) {
    runs.push_back(completed_run({single_rates[index]}));
    runs.back().repetition = index + 1;
    if (index < 2) {
      runs.push_back(completed_run({index == 0 ? 1800.0 : 2200.0}, 2, "all-cpus"));
      runs.back().repetition = index + 1;
    }
  }
  runs.push_back(cancelled_run({50}));
  runs.back().repetition = 6;
  const Session session = session_of(runs);
  const auto summaries = summarize_repetitions(session);
  ASSERT_EQ(summaries.size(), 2u);
  const RepetitionSummary& single = summaries[0];
  EXPECT_EQ(single.label, "single");
  EXPECT_EQ(single.runs, 5u);
  EXPECT_DOUBLE_EQ(single.median_mean_rate, 1000.0);
  EXPECT_DOUBLE_EQ(single.min_mean_rate, 900.0);
  EXPECT_DOUBLE_EQ(single.max_mean_rate, 2000.0);
  EXPECT_DOUBLE_EQ(single.spread_percent, 110.0);
  EXPECT_EQ(single.outliers, std::vector<unsigned>{5});
  EXPECT_EQ(summaries[1].label, "all-cpus");
  EXPECT_TRUE(summaries[1].outliers.empty());  // two runs: no majority to judge by
  EXPECT_EQ(pair_scalings(session), (std::vector<double>{0.9, 1.0}));
  EXPECT_DOUBLE_EQ(*median_scaling(session), 0.95);

  const nlohmann::json doc = nlohmann::json::parse(session_json(session).dump());
  EXPECT_EQ(doc["repetitions"][0]["outliers"], nlohmann::json::array({5}));
  EXPECT_EQ(doc["repetitions"][1]["threads"], 2);
  EXPECT_DOUBLE_EQ(doc["scaling"].get<double>(), 0.95);
  EXPECT_EQ(doc["scalings"].size(), 2u);
  const std::string text = session_summary(session);
  for (const char* part : {"median 1,000 steps/s of 5 runs", "spread 110.0 %",
                           "far from the others: run 5", "the median of 2 pairs: 0.900, 1.000"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
}

}  // namespace
}  // namespace tarnwick
