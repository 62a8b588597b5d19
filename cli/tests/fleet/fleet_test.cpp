// The report's grouping on small hand-made documents; the planted fleet is
// judged end to end by test_report.py.
#include "fleet/fleet.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "fleet/outputs.hpp"
#include "fleet/page.hpp"

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

// A document of one run with its own id, CPU model and time.
std::string modelled(const std::string& host, const std::string& model, const std::string& id,
                     double rate, const std::string& time = "2026-12-02T00:00:00Z") {
  return fmt::format(
      R"({{"schema_version": 1, "program": "tarnwick", "library": {{"version": "0.0.2"}},
  "environment": {{"timestamp": "{}", "hostname": "{}", "cpu": {{"arch": "x86_64", "model": "{}"}}}},
  "runs": [{{"id": "{}", "label": "all-cpus", "repetition": 1, "status": 0, "threads": 4,
    "mean_rate": {}, "cv_percent": 1, "unstable": false, "measured_seconds": 3,
    "operations": 9, "checksum": 1,
    "samples": [{{"time": 3, "duration": 3, "operations": 9, "rate": 3}}]}}]}})",
      time, host, model, fmt::format("{:032x}", std::hash<std::string>{}(id)), rate);
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
  options.since = parse_user_time("2026-12-01");
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

// --since compares times, whichever of the documents' forms a time is
// written in: with milliseconds or without, the document's own time, or the
// file's when a 0.0.2 document has none.
TEST(FleetIdentity, SinceComparesTimesNotText) {
  FleetOptions options;
  options.since = parse_user_time("2026-12-01T08:30");
  FleetBuilder builder(options);
  const struct {
    const char* host;
    const char* time;
    bool kept;
  } cases[] = {
      {"ms-before", "2026-12-01T08:29:59.999Z", false},
      {"ms-at", "2026-12-01T08:30:00.000Z", true},
      {"ms-after", "2026-12-01T08:30:00.001Z", true},
      {"s-before", "2026-12-01T08:29:59Z", false},
      {"next-day", "2026-12-02T00:00:00Z", true},
      {"year-before", "2025-12-31T23:59:59.500Z", false},
  };
  for (const auto& item : cases) {
    builder.add(std::string(item.host) + ".json",
                modelled(item.host, "M", item.host, 1000.0, item.time), "");
  }
  // No time in the document: the file's time decides.
  const auto without_time = [](std::string text) {
    return text.erase(text.find("\"timestamp\": "), 37);  // the key, its time and ", "
  };
  builder.add("bare.json", without_time(modelled("bare", "M", "bare", 1000.0)),
              "2026-12-01T09:00:00Z");
  builder.add("bare-old.json", without_time(modelled("bare-old", "M", "bare-old", 1000.0)),
              "2026-12-01T08:00:00Z");
  const FleetReport report = builder.finish();
  std::set<std::string> kept;
  for (const Group& group : report.groups) {
    for (const HostFigure& host : group.hosts) kept.insert(host.host);
  }
  for (const auto& item : cases) EXPECT_EQ(kept.contains(item.host), item.kept) << item.host;
  EXPECT_TRUE(kept.contains("bare"));
  EXPECT_FALSE(kept.contains("bare-old"));
  EXPECT_EQ(report.since, "2026-12-01T08:30:00");
}

// A group of `size` hosts around 1000 steps/s, `slow` of them flagged.
Group judged_group(std::size_t number, std::size_t size, std::size_t slow) {
  Group group{
      fmt::format("CPU {}", number), "x86_64", "all-cpus", 4, "0.0.2", 1000.0, 10.0, {}, {}};
  for (std::size_t index = 0; index < size; ++index) {
    HostFigure host;
    host.host = fmt::format("g{}h{}", number, index);
    host.median_rate = index < slow ? 500.0 : 995.0 + static_cast<double>(index % 10);
    host.z = (host.median_rate - 1000.0) / 14.826;
    if (index < slow) host.flag = "slow";
    group.hosts.push_back(host);
  }
  return group;
}

double svg_height(const std::string& svg) {
  const auto at = svg.find("height=\"");
  return std::stod(svg.substr(at + 8));
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

TEST(FleetPlot, StaysUnderItsHeightForAnyFleet) {
  const struct {
    const char* fleet;
    std::size_t groups, hosts, flagged_groups, slow_in_first;
  } cases[] = {
      {"one group of 2,000", 1, 2000, 1, 1},
      {"a hundred groups", 100, 20, 3, 1},
      {"1,500 groups, 400 with a flagged host", 1500, 3, 400, 1},
      {"one group with many flagged", 3, 40, 1, 12},
  };
  for (const auto& item : cases) {
    FleetReport report;
    std::size_t flagged = 0;
    for (std::size_t index = 0; index < item.groups; ++index) {
      const std::size_t slow = index < item.flagged_groups ? item.slow_in_first : 0;
      report.groups.push_back(judged_group(index, item.hosts, slow));
      flagged += slow;
    }
    const std::string svg = report_svg(report);
    const double height = svg_height(svg);
    EXPECT_LE(height, SVG_MAX_HEIGHT) << item.fleet;
    EXPECT_GT(height, 150.0) << item.fleet;
    // Every flagged host drawn is named once; the others are counted.
    const std::size_t named = count(svg, " slow z ");
    const std::size_t more = svg.find("and 7 more flagged") != std::string::npos ? 7 : 0;
    const auto hidden = svg.find("flagged) not drawn");
    if (hidden == std::string::npos) {
      EXPECT_EQ(named + more, flagged) << item.fleet;
    } else {
      const auto start = svg.rfind(", ", hidden) + 2;
      EXPECT_EQ(named + more + std::stoul(svg.substr(start)), flagged) << item.fleet;
    }
    // No host that is not flagged is named in the picture's text.
    EXPECT_EQ(count(svg, "\">g"), named) << item.fleet;  // tooltips aside
  }
}

TEST(FleetPage, PointsAtTheFlaggedRowsAndKeepsEveryRun) {
  FleetBuilder builder({});
  // Two models, a slow host in the second; h2 ran twice in the first.
  for (int index = 0; index < 12; ++index) {
    const std::string host = fmt::format("h{}", index);
    builder.add(
        host, modelled(host, index < 6 ? "A" : "B", host, index == 9 ? 500.0 : 1000.0 + index), "");
  }
  builder.add("h2-old", modelled("h2", "A", "h2-old", 900.0, "2026-12-01T00:00:00Z"), "");
  const FleetReport report = builder.finish();
  const nlohmann::json data = page_data(report);
  ASSERT_EQ(data["rows"].size(), 12u);
  ASSERT_EQ(data["runs"].size(), 12u);
  ASSERT_EQ(data["flagged"].size(), 1u);
  const auto& slow = data["rows"][data["flagged"][0].get<std::size_t>()];
  EXPECT_EQ(slow[0], "h9");
  EXPECT_EQ(slow[5], "slow");
  EXPECT_EQ(data["groups"][slow[1].get<std::size_t>()]["model"], "B");
  for (std::size_t row = 0; row < 12; ++row) {
    const std::size_t runs = data["rows"][row][0] == "h2" ? 2 : 1;
    EXPECT_EQ(data["runs"][row].size(), runs) << data["rows"][row][0];
  }
}

}  // namespace
}  // namespace tarnwick::fleet
