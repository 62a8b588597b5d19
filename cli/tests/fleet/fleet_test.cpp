// The report's grouping on small hand-made documents; the planted fleet is
// judged end to end by test_report.py.
#include "fleet/fleet.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "formats/prometheus.hpp"

namespace tarnwick::fleet {
namespace {

// A schema 1 document with one run per (label, rate), each with samples.
std::string document(const std::string& host, const std::string& time, double rate,
                     const std::string& extra_run = "") {
  std::string samples;
  for (int index = 1; index <= 3; ++index) {
    samples += fmt::format("{}{{\"time\": {}, \"rate\": {}, \"label\": \"decoy\"}}",
                           index == 1 ? "" : ",", index, rate + index);
  }
  return fmt::format(
      R"({{"schema_version": 1, "program": "tarnwick", "library": {{"version": "0.0.2"}},
  "environment": {{"timestamp": "{1}", "hostname": "{0}",
    "cpu": {{"arch": "x86_64", "model": "CPU \"A\""}}}},
  "runs": [{{"id": "{0}@{1}", "label": "single", "repetition": 1, "started": "{1}", "status": 0,
    "threads": 1, "mean_rate": {2}, "cv_percent": 1.5, "unstable": false, "measured_seconds": 3,
    "operations": 9, "checksum": 1, "samples": [{3}], "noise": {{"label": "decoy"}}}}{4}]}})",
      host, time, rate, samples, extra_run);
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
      R"(, {"id": "y", "label": "all-cpus", "repetition": 1, "status": 2, "reason": "no memory",
             "threads": 2, "measured_seconds": 0, "operations": 0, "checksum": 0})";
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

// A document of one run with its own id, CPU model and time.
std::string modelled(const std::string& host, const std::string& model, const std::string& id,
                     double rate, const std::string& time = "2026-12-02T00:00:00Z") {
  return fmt::format(
      R"({{"schema_version": 1, "program": "tarnwick", "library": {{"version": "0.0.2"}},
  "environment": {{"timestamp": "{}", "hostname": "{}", "cpu": {{"arch": "x86_64", "model": "{}"}}}},
  "runs": [{{"id": "{}", "label": "all-cpus", "repetition": 1, "status": 0, "threads": 4,
    "mean_rate": {}, "cv_percent": 1, "unstable": false, "measured_seconds": 3,
    "operations": 9, "checksum": 1}}]}})",
      time, host, model, id, rate);
}

TEST(FleetIdentity, NormalizesModels) {
  const struct {
    const char* model;
    const char* key;
  } cases[] = {
      {"Intel(R) Xeon(R) Gold 6248", "intel(r) xeon(r) gold 6248"},
      {"  Intel(R)  Xeon(R)\tGold 6248  ", "intel(r) xeon(r) gold 6248"},
      {"AMD EPYC 7R13 Processor", "amd epyc 7r13 processor"},
      {"Arm Neoverse-N1", "arm neoverse-n1"},
      {"", ""},
  };
  for (const auto& item : cases) EXPECT_EQ(normalize_model(item.model), item.key) << item.model;
}

TEST(FleetIdentity, GroupsOneModelWrittenManyWaysAndNamesLookAlikes) {
  FleetBuilder builder({});
  const char* spellings[] = {"Xeon Gold 6248", "Xeon Gold 6248 ", "XEON  Gold 6248",
                             "xeon gold 6248"};
  for (int index = 0; index < 8; ++index) {
    const std::string host = fmt::format("h{}", index);
    builder.add(host + ".json",
                modelled(host, spellings[index % 4], host, index == 7 ? 700.0 : 1000.0 + index),
                "");
  }
  // Punctuation and trademark marks: probably the same machine, but not
  // surely, so kept apart and named.
  builder.add("t.json", modelled("t", "Xeon(R) Gold-6248", "t", 1000.0), "");
  const FleetReport report = builder.finish();
  ASSERT_EQ(report.groups.size(), 2u);
  EXPECT_EQ(report.groups[0].cpu_model, "Xeon Gold 6248");  // the first spelling read
  EXPECT_EQ(report.groups[0].hosts.size(), 8u);
  ASSERT_EQ(report.outliers.size(), 1u);  // judged in one group of eight, not four of two
  EXPECT_EQ(report.groups[report.outliers[0].group].hosts[report.outliers[0].host].host, "h7");
  ASSERT_EQ(report.model_notes.size(), 2u);
  EXPECT_EQ(report.model_notes[0],
            "CPU model written 4 ways, counted as one: 'Xeon Gold 6248', 'Xeon Gold 6248 ', "
            "'XEON  Gold 6248' and 'xeon gold 6248'");
  EXPECT_NE(report.model_notes[1].find("kept apart"), std::string::npos);
  EXPECT_NE(report.model_notes[1].find("'Xeon(R) Gold-6248'"), std::string::npos);
}

TEST(FleetIdentity, CountsEachRunOnceAndNamesHostsBeforeSince) {
  FleetOptions options;
  options.since = "2026-12-01T00:00:00";
  FleetBuilder builder(options);
  for (int index = 0; index < 4; ++index) {
    const std::string host = fmt::format("h{}", index);
    const std::string text = modelled(host, "M", "id-" + host, 1000.0 + index);
    builder.add("fleet/day1/" + host + ".json", text, "");
    builder.add("fleet/day1/./" + host + ".json", text, "");  // `report fleet fleet/day1`
  }
  // A copy of h0's document under another name, and a host whose only run is too old.
  builder.add("copy.json", modelled("h0", "M", "id-h0", 1000.0), "");
  builder.add("old.json", modelled("old", "M", "id-old", 1000.0, "2026-11-30T23:59:59Z"), "");
  // The same host with a newer run is not left out.
  builder.add("h1-old.json", modelled("h1", "M", "id-h1-old", 1.0, "2026-11-01T00:00:00Z"), "");
  const FleetReport report = builder.finish();
  EXPECT_EQ(report.documents, 4u);
  EXPECT_EQ(report.repeated_runs, 5u);
  ASSERT_EQ(report.groups.size(), 1u);
  for (const HostFigure& host : report.groups[0].hosts) {
    EXPECT_EQ(host.runs, 1u) << host.host;
    EXPECT_EQ(host.history.size(), 1u) << host.host;
  }
  EXPECT_EQ(report.hosts_before_since, std::vector<std::string>{"old"});
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
