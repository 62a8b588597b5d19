#include "run/precision.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

RunReport finished(const PlannedRun& planned, double rate, Seconds warmup, Seconds measure) {
  RunReport run;
  run.label = planned.label;
  run.repetition = planned.repetition;
  run.result.status = Status::completed;
  run.result.mean_rate = rate;
  run.result.warmup = warmup;
  run.result.measure = measure;
  return run;
}

// A command with both labels, run by a clock that advances by what each
// run costs: the plan must alternate, warm up once per label, count only
// undisturbed runs and stop each label on its own.
TEST(PrecisionPlan, AlternatesAndStopsEachLabelOnItsOwn) {
  const Seconds warmup(10), measure(2);
  PrecisionPlan plan(true, true, 1.0, 600);
  double clock = 0;
  std::vector<std::string> order;
  int single_runs = 0;
  while (const auto next = plan.next(clock, warmup, measure)) {
    order.push_back(next->label + std::to_string(next->repetition));
    const Seconds warm = PrecisionPlan::warms_up(*next) ? warmup : Seconds(0);
    double rate = 1000;
    if (next->label == "single") {
      // Identical rates: reached after the first stage, one run disturbed.
      ++single_runs;
      if (single_runs == 2) rate = 500;
    } else {
      // A 3 % swing: the rule asks for many more runs.
      rate = next->repetition % 2 == 0 ? 1030 : 970;
    }
    const double cost = warm.count() + measure.count() + 0.1;
    plan.record(finished(*next, rate, warm, measure), next->label == "single" && single_runs == 2,
                cost);
    clock += cost;
  }
  ASSERT_GE(order.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 4),
            (std::vector<std::string>{"single1", "all-cpus1", "single2", "all-cpus2"}));
  const PrecisionReport report = plan.report(clock);
  ASSERT_EQ(report.labels.size(), 2u);
  const PrecisionOutcome& single = report.labels[0];
  EXPECT_EQ(single.stopped, "reached");
  EXPECT_EQ(single.runs, FIRST_STAGE_RUNS);
  EXPECT_EQ(single.excluded, std::vector<unsigned>{2});
  EXPECT_EQ(single_runs, static_cast<int>(FIRST_STAGE_RUNS) + 1);
  EXPECT_NEAR(single.geometric_mean_rate, 1000, 1e-9);
  EXPECT_EQ(*single.half_width_percent, 0.0);
  const PrecisionOutcome& multi = report.labels[1];
  EXPECT_EQ(multi.stopped, "reached");
  EXPECT_LE(*multi.half_width_percent, 1.0);
  EXPECT_GT(multi.runs, 20u);
  EXPECT_EQ(multi.runs, multi.runs_needed);
  // Once single stopped, all-CPUs ran alone.
  EXPECT_EQ(order.back().rfind("all-cpus", 0), 0u);
}

TEST(PrecisionPlan, StartsNoRunThatCannotEndBeforeTheLimit) {
  const Seconds warmup(5), measure(3);
  PrecisionPlan plan(true, false, 0.1, 30);
  double clock = 0;
  unsigned runs = 0;
  while (const auto next = plan.next(clock, warmup, measure)) {
    const Seconds warm = PrecisionPlan::warms_up(*next) ? warmup : Seconds(0);
    // The runs cost 0.5 s more than planned: the plan learns it.
    const double cost = warm.count() + measure.count() + 0.5;
    plan.record(finished(*next, next->repetition % 2 == 0 ? 1100 : 900, warm, measure), false,
                cost);
    clock += cost;
    ++runs;
  }
  // 8.5 s, then 3.5 s each: 8.5 + 6 x 3.5 = 29.5 s; a seventh would end at 33.
  EXPECT_EQ(runs, 7u);
  EXPECT_LE(clock, 30.0);
  const PrecisionReport report = plan.report(clock);
  EXPECT_EQ(report.labels[0].stopped, "time limit");
  EXPECT_GT(*report.labels[0].half_width_percent, 0.1);
  EXPECT_EQ(report.target_percent, 0.1);
  EXPECT_EQ(report.max_seconds, 30);
}

TEST(PrecisionPlan, AFailedOrCancelledRunStopsItsLabel) {
  PrecisionPlan plan(true, true, 1.0, 600);
  const auto first = plan.next(0, Seconds(1), Seconds(1));
  RunReport failed = finished(*first, 0, Seconds(1), Seconds(1));
  failed.result.status = Status::failed;
  failed.result.mean_rate.reset();
  plan.record(failed, false, 2);
  const auto second = plan.next(2, Seconds(1), Seconds(1));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->label, "all-cpus");
  plan.stop(PrecisionStop::cancelled);
  EXPECT_FALSE(plan.next(4, Seconds(1), Seconds(1)));
  const PrecisionReport report = plan.report(4);
  EXPECT_EQ(report.labels[0].stopped, "failed");
  EXPECT_EQ(report.labels[1].stopped, "cancelled");
  EXPECT_FALSE(report.labels[1].half_width_percent);
}

TEST(PrecisionWarnings, SayWhatTheLimitReachedAndNameTheRunsLeftOut) {
  Session session;
  PrecisionReport report;
  report.target_percent = 1;
  report.max_seconds = 600;
  report.seconds = 599.6;
  PrecisionOutcome single;
  single.label = "single";
  single.stopped = "time limit";
  single.runs = 9;
  single.half_width_percent = 1.6432;
  single.excluded = {1, 2, 3, 5, 8, 9};
  report.labels.push_back(single);
  session.precision = report;
  std::vector<Warning> warnings = precision_warnings(session);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].kind, "disturbed");
  EXPECT_EQ(warnings[0].text,
            "single runs 1 to 3, 5, 8 and 9 left out of the precision: other work competed for "
            "the CPUs");
  EXPECT_EQ(warnings[1].kind, "precision");
  EXPECT_EQ(warnings[1].text, "\u00b11.6 % after 9 runs in 600 s; \u00b11 % asked");
  // With both labels each names itself; one that reached its target is silent.
  PrecisionOutcome multi = single;
  multi.label = "all-cpus";
  multi.stopped = "reached";
  multi.excluded.clear();
  session.precision->labels.push_back(multi);
  session.precision->labels[0].excluded = {4};
  session.precision->labels[0].half_width_percent.reset();
  session.precision->labels[0].runs = 1;
  warnings = precision_warnings(session);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].text.rfind("single run 4 left out", 0), 0u) << warnings[0].text;
  EXPECT_EQ(warnings[1].text,
            "single: no interval after 1 run (two at least) in 600 s; \u00b11 % asked");
}

}  // namespace
}  // namespace tarnwick
