#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>

#include "document/json_writer.hpp"
#include "document/model.hpp"
#include "document/repetition_summary.hpp"
#include "formats/csv.hpp"
#include "formats/summary.hpp"
#include "formats/svg.hpp"
#include "make_run.hpp"
#include "run/warnings.hpp"
#include "util/svg.hpp"

namespace tarnwick {
namespace {

TEST(Scaling, IsMultiRateOverThreadsTimesSingleRate) {
  EXPECT_DOUBLE_EQ(*scaling(completed_run({1000, 1000}), completed_run({3000, 3000}, 4)), 0.75);
  EXPECT_FALSE(scaling(cancelled_run({1000}), completed_run({3000}, 4)).has_value());
  EXPECT_FALSE(scaling(completed_run({1000}), cancelled_run({3000})).has_value());
  EXPECT_FALSE(scaling(completed_run({0, 0}), completed_run({3000}, 4)).has_value());
}

TEST(WorkersText, NamesAllCpuRuns) {
  EXPECT_EQ(workers_text(completed_run({1})), "1 worker");
  EXPECT_EQ(workers_text(completed_run({1}, 4)), "all CPUs, 4 workers");
  RunReport refused;
  refused.result.all_cpus = true;
  EXPECT_EQ(workers_text(refused), "all CPUs");
}

TEST(ExitStatus, FailureOutranksCancellation) {
  RunReport failed;
  failed.result.status = Status::failed;
  EXPECT_EQ(exit_status(session_of({})), 0);
  EXPECT_EQ(exit_status(session_of({completed_run({1}), completed_run({1}, 2)})), 0);
  EXPECT_EQ(exit_status(session_of({completed_run({1}), cancelled_run({1})})), 1);
  EXPECT_EQ(exit_status(session_of({cancelled_run({1}), failed})), 2);
  EXPECT_EQ(exit_status(session_of({failed, cancelled_run({1})})), 2);
}

TEST(Warnings, NameUnstableRunsAndABusyMachine) {
  const Session session =
      session_of({completed_run({1000, 1010}), completed_run({800, 1200}, 2, "all-cpus"),
                  cancelled_run({500, 1500})});
  const auto warnings = stability_warnings(session);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("all-cpus run is unstable (CV 20.00 %"), std::string::npos)
      << warnings[0].text;
  EXPECT_EQ(warnings[0].run_id, session.runs[1].id);
  EXPECT_EQ(warnings[0].kind, "unstable");
  HostFacts host;
  host.cpus_available = 2;
  EXPECT_FALSE(load_warning(host).has_value());  // load unknown
  host.load_average = 0.99;
  EXPECT_FALSE(load_warning(host).has_value());
  host.load_average = 1.0;
  ASSERT_TRUE(load_warning(host).has_value());
  EXPECT_NE(load_warning(host)->text.find("average was 1.00 when the run started"),
            std::string::npos);
}

TEST(SessionJson, HoldsEveryResultFieldAndTheHost) {
  Session session = session_of({completed_run({1000, 1100, 900}), cancelled_run({700})});
  session.warnings = {{"", "load", "a warning"}, {session.runs[0].id, "unstable", "b"}};
  const nlohmann::json doc = nlohmann::json::parse(session_json(session).dump());
  EXPECT_EQ(doc["program"], "tarnwick");
  EXPECT_EQ(doc["status"], "cancelled");
  EXPECT_EQ(doc["library"]["version"], "0.0.2");
  EXPECT_EQ(doc["library"]["abi_version"], 1);
  EXPECT_EQ(doc["host"]["cpu_model"], "Example CPU");
  EXPECT_TRUE(doc["host"]["governor"].is_null());
  EXPECT_EQ(doc["host"]["load_average_1m"], 0.25);
  EXPECT_EQ(doc["schema_version"], 1);
  EXPECT_EQ(doc["warnings"][0],
            nlohmann::json({{"run", nullptr}, {"kind", "load"}, {"text", "a warning"}}));
  EXPECT_EQ(doc["warnings"][1]["run"], session.runs[0].id);
  EXPECT_TRUE(doc["scaling"].is_null());
  ASSERT_EQ(doc["runs"].size(), 2u);

  const nlohmann::json& done = doc["runs"][0];
  for (const char* field : {"label", "status", "status_name", "reason", "abi_version", "benchmark",
                            "threads", "mean_rate", "warmup_seconds", "measure_seconds",
                            "measured_seconds", "cv_percent", "has_cv", "unstable", "operations",
                            "checksum", "checksum_hex", "sample_count", "samples"}) {
    EXPECT_TRUE(done.contains(field)) << field;
  }
  EXPECT_EQ(done["mean_rate"], 1000.0);
  EXPECT_EQ(done["checksum"], 0x0123456789abcdefULL);
  EXPECT_EQ(done["checksum_hex"], "0123456789abcdef");
  EXPECT_EQ(done["samples"].size(), 3u);
  EXPECT_EQ(done["samples"][1]["rate"], 1100.0);

  // Absent figures are null, never a stand-in zero.
  const nlohmann::json& stopped = doc["runs"][1];
  EXPECT_EQ(stopped["status_name"], "cancelled");
  EXPECT_EQ(stopped["reason"], "cancelled");
  EXPECT_TRUE(stopped["mean_rate"].is_null());
  EXPECT_TRUE(stopped["cv_percent"].is_null());
  EXPECT_EQ(stopped["has_cv"], false);
  // What a cancelled run measured is kept, with its count.
  EXPECT_EQ(stopped["sample_count"], 1u);
  ASSERT_EQ(stopped["samples"].size(), 1u);
  EXPECT_EQ(stopped["samples"][0]["rate"], 700.0);
}

TEST(SessionJson, DoublesReadBackBitForBit) {
  // Random bit patterns cover awkward mantissas and exponents alike.
  std::mt19937_64 random(12345);
  RunReport run = completed_run({1000});
  std::vector<Sample>& samples = run.result.samples;
  samples.clear();
  for (int i = 0; i < 2000; ++i) {
    double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    samples.push_back({Seconds(value), Seconds(std::abs(value)), random(), -value});
  }
  run.result.measured = Seconds(0.1 + 0.2);
  run.result.cv_percent = 1.0 / 3.0;
  const nlohmann::json doc = nlohmann::json::parse(session_json(session_of({run})).dump(2));
  const nlohmann::json& back = doc["runs"][0];
  EXPECT_EQ(back["measured_seconds"].get<double>(), 0.1 + 0.2);
  EXPECT_EQ(back["cv_percent"].get<double>(), 1.0 / 3.0);
  ASSERT_EQ(back["samples"].size(), samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const nlohmann::json& sample = back["samples"][i];
    ASSERT_EQ(std::bit_cast<uint64_t>(sample["time"].get<double>()),
              std::bit_cast<uint64_t>(samples[i].time.count()))
        << i;
    ASSERT_EQ(sample["rate"].get<double>(), samples[i].rate) << i;
    ASSERT_EQ(sample["operations"].get<uint64_t>(), samples[i].operations) << i;
  }
}

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

TEST(SamplesCsv, OneLinePerSampleThatReadsBack) {
  RunReport multi = completed_run({3000.5, 2999.25}, 2, "all-cpus");
  multi.result.samples[0].time = Seconds(0.1 + 0.2);
  // The second sample was read and found disturbed; the first was not read.
  multi.sample_noise = {std::nullopt,
                        SecondNoise{6.5, 1.25, 0.75, 30.0, 0.0, 0u, std::nullopt, 2400.0}};
  multi.disturbed_samples = {1};
  const std::string csv = samples_csv(session_of({completed_run({1000}), multi}));
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line,
            "run,threads,index,time,duration,operations,rate,repetition,steal_percent,other_cpus,"
            "other_cpus_run,cpu_pressure_percent,throttled_percent,throttled_periods,thermal_"
            "events,frequency_mhz,disturbed");
  std::getline(lines, line);
  EXPECT_EQ(line, "single,1,0,1,1,1000,1000,1,,,,,,,,,0");
  std::getline(lines, line);
  EXPECT_EQ(line.substr(0, 13), "all-cpus,2,0,");
  // The shortest exact text of 0.1 + 0.2.
  EXPECT_NE(line.find(",0.30000000000000004,"), std::string::npos) << line;
  std::getline(lines, line);
  EXPECT_EQ(line, "all-cpus,2,1,2,1,2999,2999.25,1,6.5,1.25,0.75,30,0,0,,2400,1");
  EXPECT_FALSE(std::getline(lines, line));
  EXPECT_EQ(samples_csv(session_of({})),
            "run,threads,index,time,duration,operations,rate,repetition,steal_percent,other_cpus,"
            "other_cpus_run,cpu_pressure_percent,throttled_percent,throttled_periods,thermal_"
            "events,frequency_mhz,disturbed\n");
}

TEST(NiceTicks, CoverTheRangeInRoundSteps) {
  struct Case {
    double low, high;
  };
  for (const Case& c : {Case{0.0, 1.3}, Case{0.0, 60.2}, Case{812345.0, 1234567.0}, Case{0.0, 0.0},
                        Case{5e6, 5e6}, Case{0.001, 0.0013}, Case{-3.0, 7.0}}) {
    const std::vector<double> ticks = nice_ticks(c.low, c.high);
    ASSERT_GE(ticks.size(), 2u) << c.low;
    EXPECT_LE(ticks.front(), c.low);
    EXPECT_GE(ticks.back(), c.high);
    EXPECT_LE(ticks.size(), 8u) << c.low << " " << c.high;
    const double step = ticks[1] - ticks[0];
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::abs(mantissa - 1.0) < 1e-6 || std::abs(mantissa - 2.0) < 1e-6 ||
                std::abs(mantissa - 5.0) < 1e-6)
        << step;
  }
  EXPECT_EQ(nice_ticks(0.0, 10.0), (std::vector<double>{0, 2, 4, 6, 8, 10}));
  EXPECT_EQ(nice_ticks(NAN, 1.0).size(), 2u);
}

TEST(SessionSvg, EscapesTextAndHasAPanelPerRun) {
  EXPECT_EQ(xml_escape("a<b & \"c\">"), "a&lt;b &amp; &quot;c&quot;&gt;");
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

}  // namespace
}  // namespace tarnwick
