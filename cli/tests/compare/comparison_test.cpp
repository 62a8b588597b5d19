#include "compare/comparison.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick {
namespace {

struct PlantedRun {
  double rate;
  std::uint32_t threads = 1;
  std::optional<double> other_cpus = std::nullopt;
};

int next_id = 0;

// One document of `runs` of a label, facts as given.
LoadedDocument document(const std::vector<PlantedRun>& runs, const std::string& label = "single",
                        const std::string& library = "0.0.3", const std::string& cpu = "CPU A") {
  LoadedDocument doc;
  doc.schema_version = 1;
  doc.status = Status::completed;
  doc.library_version = library;
  doc.hostname = "vm";
  doc.cpu_model = cpu;
  doc.arch = "x86_64";
  doc.cpus_available = 2;
  for (const PlantedRun& planted : runs) {
    LoadedRun run;
    run.id = std::to_string(++next_id);
    run.label = label;
    run.status = Status::completed;
    run.threads = planted.threads;
    run.mean_rate = planted.rate;
    run.other_cpus = planted.other_cpus;
    doc.runs.push_back(std::move(run));
  }
  return doc;
}

std::vector<PlantedRun> of_logs(const std::vector<double>& logs) {
  std::vector<PlantedRun> runs;
  runs.reserve(logs.size());
  for (const double log : logs) runs.push_back({1000 * std::exp(log)});
  return runs;
}

Comparison judged(const ComparisonSide& base, const ComparisonSide& now,
                  const CompareRules& rules = {}) {
  auto outcome = compare_sides(base, now, rules);
  if (auto* reason = std::get_if<std::string>(&outcome)) ADD_FAILURE() << *reason;
  return std::get<Comparison>(std::move(outcome));
}

TEST(Comparison, TheTestFollowsTheRunsEachSideHas) {
  // BASE logs 0, 0.1, 0.2 against NEW logs 0.2, 0.3, 0.4: welch_test.cpp's
  // first worked example, ratio e^0.2, CI [0.973657, 1.532186]: no
  // significant difference.
  const ComparisonSide base{"b", {document(of_logs({0, 0.1, 0.2}))}, {}};
  const ComparisonSide now{"n", {document(of_logs({0.2, 0.3, 0.4}))}, {}};
  const Comparison both = judged(base, now);
  ASSERT_EQ(both.labels.size(), 1u);
  EXPECT_EQ(both.labels[0].kind, TestKind::welch);
  EXPECT_NEAR(both.labels[0].test.low, 0.973657, 1e-6);
  EXPECT_EQ(both.labels[0].verdict, Verdict::no_difference);
  // One NEW run at log -0.3 against them: mean 0.1, s = 0.1, error
  // 0.1 x sqrt(1/3 + 1) = 0.115470 on 2 df; t(0.975, 2) = 4.302653: -0.4
  // +- 0.496828: the interval [e^-0.896828, e^0.096828] holds 1.
  const ComparisonSide one{"n", {document(of_logs({-0.3}))}, {}};
  const Comparison predicted = judged(base, one);
  EXPECT_EQ(predicted.labels[0].kind, TestKind::prediction);
  EXPECT_NEAR(predicted.labels[0].test.high, std::exp(0.096828), 1e-5);
  EXPECT_EQ(predicted.labels[0].verdict, Verdict::no_difference);
  // At log -0.6 it lies below, [e^-1.196828, e^-0.203172]: slower; the
  // upper end 0.8161 trips a 5 % gate, not a 25 % one (below 0.75).
  const ComparisonSide slower{"n", {document(of_logs({-0.6}))}, {}};
  const Comparison slow = judged(base, slower);
  EXPECT_EQ(slow.labels[0].verdict, Verdict::slower);
  EXPECT_NEAR(slow.labels[0].test.high, std::exp(-0.203172), 1e-5);
  EXPECT_EQ(slower_than(slow, 5).size(), 1u);
  EXPECT_EQ(slower_than(slow, 25).size(), 0u);
  // Two runs against one: not judged, the ratio alone.
  const ComparisonSide two{"b", {document(of_logs({0, 0.2}))}, {}};
  const Comparison few = judged(two, slower);
  EXPECT_EQ(few.labels[0].why, NotJudged::too_few);
  EXPECT_NEAR(few.labels[0].test.ratio, std::exp(-0.7), 1e-12);
  EXPECT_EQ(few.labels[0].reason, "not judged: 2 and 1 runs; repeat with --repeat 3");
  EXPECT_EQ(not_judged(few), 1u);
}

TEST(Comparison, UnlikeSidesAreShownNotJudgedUnlessAccepted) {
  const ComparisonSide base{"b", {document({{100, 2}, {101, 2}, {99, 2}}, "all-cpus")}, {}};
  const ComparisonSide now{"n", {document({{60, 1}, {61, 1}, {59, 1}}, "all-cpus")}, {}};
  const Comparison shown = judged(base, now);
  const LabelComparison& label = shown.labels[0];
  EXPECT_EQ(label.differences, bit(Difference::workers));
  EXPECT_EQ(label.why, NotJudged::differs);
  EXPECT_EQ(label.kind, TestKind::welch);  // figures as information
  EXPECT_TRUE(slower_than(shown, 3).empty());
  EXPECT_EQ(label.differs, "NEW ran 1 worker, BASE 2: the difference includes the CPUs available");
  const Comparison accepted = judged(base, now, {bit(Difference::workers), false});
  EXPECT_EQ(accepted.labels[0].verdict, Verdict::slower);
  EXPECT_EQ(slower_than(accepted, 3).size(), 1u);
  // A library version is never accepted, whatever is asked.
  const ComparisonSide other{"n", {document({{60}, {61}, {59}}, "single", "0.0.4")}, {}};
  const ComparisonSide same{"b", {document({{100}, {101}, {99}})}, {}};
  const Comparison library = judged(same, other, {ALL_DIFFERENCES, false});
  EXPECT_EQ(library.labels[0].why, NotJudged::library);
  // The CPU model as the fleet compares it: the same model.
  const ComparisonSide spelt{
      "n", {document({{60}, {61}, {59}}, "single", "0.0.3", " cpu  a ")}, {}};
  EXPECT_EQ(judged(same, spelt).labels[0].verdict, Verdict::slower);
}

TEST(Comparison, EachRunOnceAndEqualRatesOnce) {
  const LoadedDocument shared = document({{100}, {102}, {98}});
  const ComparisonSide base{"b", {shared}, {}};
  // NEW holds BASE's runs and two of its own: those two are judged.
  const ComparisonSide now{"n", {shared, document({{80}, {81}})}, {}};
  const Comparison result = judged(base, now);
  EXPECT_EQ(result.labels[0].now.observations, 2u);
  EXPECT_EQ(result.labels[0].kind, TestKind::prediction);
  ASSERT_EQ(result.left_out.size(), 1u);
  EXPECT_EQ(result.left_out[0].kind, "on_both_sides");
  EXPECT_EQ(result.left_out[0].text,
            "NEW's runs 1, 2 and 3 of 'single' are also in BASE: "
            "counted in BASE only");
  // NEW holding only BASE's runs: the same runs.
  const Comparison same = judged(base, base);
  EXPECT_EQ(same.labels[0].why, NotJudged::same_runs);
  // Five equal rates are one run: against one NEW run, too few.
  const ComparisonSide copies{"b", {document({{100}, {100}, {100}, {100}, {100}})}, {}};
  const ComparisonSide single{"n", {document({{99.5}})}, {}};
  const Comparison flat = judged(copies, single);
  EXPECT_EQ(flat.labels[0].base.observations, 1u);
  EXPECT_EQ(flat.labels[0].why, NotJudged::too_few);
  EXPECT_EQ(flat.left_out[0].text,
            "BASE's 5 runs of 'single' have identical rates: counted as one");
}

TEST(Comparison, DisturbedRunsLeftOutAndNamed) {
  // 2 CPUs, 1 worker: 1.5 CPUs of other processes tolerated.
  const ComparisonSide base{"b", {document({{100}, {101}, {99}})}, {}};
  const ComparisonSide now{"n", {document({{100, 1, 0.2}, {70, 1, 1.7}, {71, 1, 1.49}})}, {}};
  const Comparison result = judged(base, now);
  EXPECT_EQ(result.labels[0].now.observations, 2u);
  ASSERT_EQ(result.left_out.size(), 1u);
  EXPECT_EQ(result.left_out[0].kind, "disturbed");
  EXPECT_EQ(result.left_out[0].run_ids.size(), 1u);
  EXPECT_NE(result.left_out[0].text.find("NEW's run 2 of 'single' ran while other work "
                                         "competed for the CPUs (run 2: other processes used "
                                         "1.7 CPUs)"),
            std::string::npos)
      << result.left_out[0].text;
  const Comparison kept = judged(base, now, {0, true});
  EXPECT_EQ(kept.labels[0].now.observations, 3u);
  EXPECT_TRUE(kept.left_out.empty());
}

TEST(Comparison, RatesThatCannotBeJudgedAreLeftOutNotFatal) {
  const ComparisonSide base{"b", {document({{100}, {101}, {99}, {5e-324}, {1e300}})}, {}};
  const ComparisonSide now{"n", {document({{80}})}, {}};
  const Comparison result = judged(base, now);
  EXPECT_EQ(result.labels[0].base.observations, 3u);
  EXPECT_EQ(result.labels[0].verdict, Verdict::slower);
  EXPECT_EQ(result.left_out[0].kind, "rate");
}

TEST(Comparison, RunNumbers) {
  EXPECT_EQ(run_numbers({4}), "run 4");
  EXPECT_EQ(run_numbers({2, 3}), "runs 2 and 3");
  EXPECT_EQ(run_numbers({1, 2, 5}), "runs 1, 2 and 5");
}

}  // namespace
}  // namespace tarnwick
