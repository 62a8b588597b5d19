// The report's grouping on small hand-made documents; the planted fleet is
// judged end to end by test_report.py.
#include "fleet/fleet.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "formats/prometheus.hpp"

namespace tarnwick::fleet {
namespace {

// A schema 1 document with one run per (label, rate), each with samples.
std::string document(const std::string& host, const std::string& time, double rate,
                     const std::string& extra_run = "") {
  std::string samples;
  for (int index = 1; index <= 3; ++index) {
    samples += fmt::format(
        "{}{{\"time\": {}, \"duration\": 1, \"operations\": 3, \"rate\": {}, \"label\": "
        "\"decoy\"}}",
        index == 1 ? "" : ",", index, rate + index);
  }
  return fmt::format(
      R"({{"schema_version": 1, "program": "tarnwick", "library": {{"version": "0.0.2"}},
  "environment": {{"timestamp": "{1}", "hostname": "{0}",
    "cpu": {{"arch": "x86_64", "model": "CPU \"A\""}}}},
  "runs": [{{"id": "{5:032x}", "label": "single", "repetition": 1, "started": "{1}", "status": 0,
    "threads": 1, "mean_rate": {2}, "cv_percent": 1.5, "unstable": false, "measured_seconds": 3,
    "operations": 9, "checksum": 1, "samples": [{3}], "noise": {{"label": "decoy"}}}}{4}]}})",
      host, time, rate, samples, extra_run, std::hash<std::string>{}(host + time));
}

TEST(FleetBuilder, JudgesOnlyGroupsThatCanBeJudged) {
  FleetBuilder builder({});
  // Five equal hosts and a slow one: a MAD of 0 flags nobody.
  for (int index = 0; index < 6; ++index) {
    builder.add(
        fmt::format("h{}", index),
        document(fmt::format("h{}", index), "2026-12-01T00:00:00Z", index == 5 ? 800.0 : 1000.0),
        "");
  }
  const std::string failed =
      R"(, {"id": "0000000000000000000000000000000f", "label": "all-cpus", "repetition": 1,
             "status": 2, "reason": "no memory", "threads": 2, "measured_seconds": 0,
             "operations": 0, "checksum": 0, "samples": []})";
  builder.add("two.json", document("x", "2026-12-01T00:00:00Z", 1000.0, failed), "");
  builder.add("old/node9.json",
              R"({"program": "tarnwick", "library": {"version": "0.0.2"},
                  "runs": [{"label": "single", "status": 0, "threads": 1, "mean_rate": 9,
                            "measured_seconds": 1, "operations": 9, "checksum": 1}]})",
              "2026-12-01T00:00:00Z");
  const FleetReport report = builder.finish();
  ASSERT_EQ(report.groups.size(), 2u);  // CPU "A" and the unknown CPU
  EXPECT_NE(report.groups[0].no_flags_reason.find("median absolute deviation is 0"),
            std::string::npos);
  EXPECT_NE(report.groups[1].no_flags_reason.find("only 1 host"), std::string::npos);
  EXPECT_TRUE(report.outliers.empty());
  EXPECT_EQ(report.groups[1].hosts[0].host, "node9");
  EXPECT_TRUE(report.groups[1].hosts[0].host_from_file);
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_EQ(report.problems[0].reason, "the all-cpus run failed: no memory");
}

TEST(FleetBuilder, ParsesSinceDates) {
  EXPECT_EQ(parse_since("2026-12-07"), "2026-12-07T00:00:00");
  EXPECT_EQ(parse_since("2026-12-07T23:50"), "2026-12-07T23:50:00");
  EXPECT_EQ(parse_since("2026-12-07T23:50:01Z"), "2026-12-07T23:50:01");
  for (const char* bad : {"yesterday", "2026-13-01", "2026-12-07T25:00", "2026-12-07 junk"}) {
    EXPECT_FALSE(parse_since(bad)) << bad;
  }
}

TEST(Prometheus, EscapesLabelValues) {
  EXPECT_EQ(prometheus_label_value("Xeon \"Gold\" C:\\x\nnext"),
            "Xeon \\\"Gold\\\" C:\\\\x\\nnext");
  Session session;
  session.version = "0.0.2";
  session.environment.cpu.model = "CPU \"A\"";
  EXPECT_NE(prometheus_text(session).find("cpu_model=\"CPU \\\"A\\\"\""), std::string::npos);
}

}  // namespace
}  // namespace tarnwick::fleet
