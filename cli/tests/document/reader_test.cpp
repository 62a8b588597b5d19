#include "document/reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "document/read_documents.hpp"

namespace tarnwick {
namespace {

// A run of today's writer, with two samples.
constexpr const char* TODAY_RUN = R"({
      "label": "single", "status": 0, "status_name": "completed", "reason": "",
      "abi_version": 1, "benchmark": 1, "threads": 1, "mean_rate": 42081.5,
      "warmup_seconds": 5, "measure_seconds": 2, "measured_seconds": 2.001,
      "cv_percent": 1.5, "has_cv": true, "unstable": false, "operations": 84163,
      "checksum": 15527385062390863577, "checksum_hex": "d7d071cfd6ab16d9",
      "sample_count": 2,
      "samples": [{"time": 1.0, "duration": 1.0, "operations": 41000, "rate": 41000.0},
                  {"time": 2.001, "duration": 1.001, "operations": 43163, "rate": 43120.0}]})";

std::string today_document(const std::string& second_run) {
  return std::string(R"({"program": "tarnwick", "status": "completed",
    "library": {"version": "0.0.2", "abi_version": 1},
    "host": {"cpu_model": "Example CPU", "cpus_available": 2, "cpus_source": "library",
             "governor": null, "load_average_1m": 0.3},
    "runs": [)") +
         TODAY_RUN + "," + second_run + R"(],
    "scaling": 0.9, "warnings": ["the 1-minute load average is high"]})";
}

const std::string ALL_CPUS_RUN = R"({"label": "all-cpus", "status": 1, "reason": "cancelled",
    "threads": 2, "mean_rate": null, "measured_seconds": 0.5, "cv_percent": null,
    "unstable": false, "operations": 0, "checksum": 7, "samples": []})";

constexpr const char* SCHEMA_ONE = R"({
  "schema_version": 1, "program": "tarnwick", "status": "completed",
  "library": {"version": "0.0.3", "abi_version": 1},
  "environment": {"timestamp": "2026-12-07T23:50:01Z", "hostname": "node01",
    "os": "6.1.0-28-amd64", "command_line": ["tarnwick", "--repeat", "2"],
    "program": {"version": "0.0.3", "compiler": "GCC 12.2.0", "build_flags": "-O2"},
    "cpu": {"arch": "x86_64", "model": "Example \"Quoted\" CPU", "logical_cpus": 2,
            "physical_cores": 1, "threads_per_core": 2, "nominal_mhz": null,
            "l2_cache_bytes": 4194304, "l3_cache_bytes": null, "hypervisor": "KVMKVMKVM"},
    "cgroup_cpu_quota": 1.5},
  "host": {"cpu_model": "Example \"Quoted\" CPU", "cpus_available": 2, "cpus_source": "affinity",
           "governor": null, "load_average_1m": null},
  "runs": [
    {"id": "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f", "label": "single", "repetition": 2,
     "started": "2026-12-07T23:50:01.123Z", "ended": "2026-12-07T23:50:04.456Z",
     "status": 0, "status_name": "completed", "reason": "", "abi_version": 1, "benchmark": 1,
     "threads": 1, "mean_rate": 93974.2, "warmup_seconds": 1, "measure_seconds": 2,
     "measured_seconds": 2.0, "cv_percent": 12.5, "has_cv": true, "unstable": true,
     "operations": 187948, "checksum": 18446744073709551615, "checksum_hex": "ffffffffffffffff",
     "sample_count": 2, "samples": [{"time": 1.0, "duration": 1.0, "operations": 90000,
     "rate": 90000.0}, {"time": 2.0, "duration": 1.0, "operations": 97948, "rate": 97948}],
     "noise": {"steal_percent": 0.4, "other_cpus": 0.05, "involuntary_context_switches": 12,
               "in_container": false}}],
  "repetitions": [], "scaling": null, "scalings": [],
  "warnings": [{"run": "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f", "kind": "unstable", "text": "x"}]})";

LoadedDocument read_ok(std::string_view text, ReadOptions options = {}) {
  auto result = read_document(text, options);
  if (const auto* reason = std::get_if<std::string>(&result)) {
    ADD_FAILURE() << *reason;
    return {};
  }
  return std::get<LoadedDocument>(std::move(result));
}

TEST(ReadDocument, ReadsTheCurrentSchemaWithSamplesAndJsonOnRequest) {
  const LoadedDocument plain = read_ok(SCHEMA_ONE);
  EXPECT_EQ(plain.schema_version, 1);
  EXPECT_EQ(plain.status, Status::completed);
  EXPECT_EQ(plain.library_version, "0.0.3");
  EXPECT_EQ(plain.hostname, "node01");
  EXPECT_EQ(plain.timestamp, "2026-12-07T23:50:01Z");
  EXPECT_EQ(plain.cpu_model, "Example \"Quoted\" CPU");
  EXPECT_EQ(plain.arch, "x86_64");
  ASSERT_EQ(plain.runs.size(), 1u);
  const LoadedRun& run = plain.runs[0];
  EXPECT_EQ(run.id, "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f");
  EXPECT_EQ(run.label, "single");
  EXPECT_EQ(run.repetition, 2u);
  EXPECT_EQ(run.status, Status::completed);
  EXPECT_EQ(run.threads, 1u);
  EXPECT_EQ(run.mean_rate, 93974.2);
  EXPECT_EQ(run.cv_percent, 12.5);
  EXPECT_TRUE(run.unstable);
  EXPECT_EQ(run.measured_seconds, 2.0);
  EXPECT_EQ(run.operations, 187948u);
  EXPECT_EQ(run.checksum, UINT64_MAX);
  EXPECT_EQ(run.started, "2026-12-07T23:50:01.123Z");
  EXPECT_EQ(run.ended, "2026-12-07T23:50:04.456Z");
  EXPECT_TRUE(run.rates.empty());
  EXPECT_TRUE(run.json.empty());
  EXPECT_TRUE(plain.json.empty());

  const LoadedDocument full = read_ok(SCHEMA_ONE, {.samples = true, .keep_json = true});
  EXPECT_EQ(full.runs[0].rates, (std::vector<double>{90000.0, 97948.0}));
  EXPECT_EQ(full.runs[0].durations, (std::vector<double>{1.0, 1.0}));
  // The kept text is the same JSON, numbers as written.
  const auto source = nlohmann::json::parse(SCHEMA_ONE);
  EXPECT_NE(full.runs[0].json.find("\"checksum\":18446744073709551615,"), std::string::npos);
  // The document's text keeps everything but its runs; the runs' keep
  // everything but their samples, which are kept as numbers.
  auto without_runs = source;
  without_runs["runs"] = nlohmann::json::array();
  EXPECT_EQ(nlohmann::json::parse(full.json), without_runs);
  auto without_samples = source["runs"][0];
  without_samples["samples"] = nlohmann::json::array();
  EXPECT_EQ(nlohmann::json::parse(full.runs[0].json), without_samples);
  EXPECT_EQ(full.runs[0].times, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(full.runs[0].sample_operations, (std::vector<int64_t>{90000, 97948}));
  EXPECT_EQ(nlohmann::json::parse(write_document(full)), source);
}

TEST(ReadDocument, ReadsTodaysDocumentsWithIdsFromTheirContent) {
  const std::string text = today_document(ALL_CPUS_RUN);
  const LoadedDocument document = read_ok(text, {.samples = true});
  EXPECT_EQ(document.schema_version, 0);
  EXPECT_EQ(document.library_version, "0.0.2");
  EXPECT_EQ(document.cpu_model, "Example CPU");
  EXPECT_FALSE(document.hostname || document.timestamp || document.arch);
  ASSERT_EQ(document.runs.size(), 2u);
  const LoadedRun& single = document.runs[0];
  const LoadedRun& multi = document.runs[1];
  EXPECT_EQ(single.repetition, 1u);
  EXPECT_EQ(single.checksum, 15527385062390863577u);
  EXPECT_EQ(single.rates, (std::vector<double>{41000.0, 43120.0}));
  EXPECT_FALSE(single.started.has_value());
  EXPECT_EQ(multi.status, Status::cancelled);
  EXPECT_EQ(multi.reason, "cancelled");
  EXPECT_FALSE(multi.mean_rate.has_value());
  EXPECT_FALSE(multi.cv_percent.has_value());
  EXPECT_TRUE(multi.rates.empty());
  ASSERT_EQ(single.id.size(), 33u);
  EXPECT_EQ(single.id[0], 'h');
  EXPECT_EQ(single.id.find_first_not_of("0123456789abcdef", 1), std::string::npos);
  EXPECT_NE(single.id, multi.id);

  // Stable across reads and layouts, with or without samples; changed by any value.
  const std::string reindented = nlohmann::ordered_json::parse(text).dump(4);
  const LoadedDocument again = read_ok(reindented);
  EXPECT_EQ(again.runs[0].id, single.id);
  EXPECT_EQ(again.runs[1].id, multi.id);
  std::string changed = text;
  changed.replace(changed.find("43120.0"), 7, "43121.0");
  EXPECT_NE(read_ok(changed).runs[0].id, single.id);
  EXPECT_EQ(read_ok(changed).runs[1].id, multi.id);
}

TEST(ReadDocument, RefusesWhatItCannotReadWithAReason) {
  const std::string today = today_document(ALL_CPUS_RUN);
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  struct Case {
    std::string text;
    std::string reason;
  };
  const Case cases[] = {
      {"", "empty: no JSON text"},
      {" \n", "empty: no JSON text"},
      {today.substr(0, today.size() / 2), "truncated: the text ends inside the document, at line"},
      {"{\"program\": \"tarnwick\",\n  \"other\": [1,]}", "not JSON at line 2, column 15"},
      {today + "\n\n{}", "more than one document"},
      {"{\"program\": \"tarn\xffwick\"}",
       "not JSON at line 1, column 19: invalid encoding in string"},
      // Deep nesting is refused without recursion.
      {R"({"program": "tarnwick", "x": )" + std::string(200000, '[') + std::string(200000, ']') +
           "}",
       "nested deeper than 64 levels"},
      {"[1, 2]", "not a result document: expected a JSON object, got an array"},
      {"42", "expected a JSON object, got a whole number"},
      {replaced(SCHEMA_ONE, "\"schema_version\": 1", "\"schema_version\": 7"),
       "unknown schema_version 7"},
      {replaced(today, R"("program": "tarnwick")", R"("program": "other")"), "program is 'other'"},
      {replaced(today, R"("program": "tarnwick",)", ""), "no \"program\" key"},
      {replaced(today, R"("version": "0.0.2")", "\"version\": 2"),
       "library.version: expected a string, got a whole number"},
      {replaced(today, "\"threads\": 2", R"("threads": "2")"),
       "runs[1].threads: expected a whole number, got a string"},
      {replaced(today, "\"threads\": 2", "\"threads\": -2"),
       "runs[1].threads: expected a whole number, got a negative number"},
      {replaced(today, "\"status\": 1", "\"status\": 3"), "runs[1].status: 3 is out of range"},
      {replaced(today, "\"checksum\": 7", "\"checksum\": 7.5"),
       "runs[1].checksum: expected a whole number, got a number with a fraction or exponent"},
      {replaced(today, "\"mean_rate\": null", R"("mean_rate": "fast")"),
       "runs[1].mean_rate: expected a number or null, got a string"},
      {replaced(today, R"("unstable": false, "operations": 0)", "\"operations\": 0"),
       ""},  // optional: absent means stable
      {replaced(today, "\"checksum\": 7,", ""), "runs[1].checksum is missing"},
      {replaced(today, "\"checksum\": 7", "\"checksum\": 18446744073709551616"),
       "runs[1].checksum: 18446744073709551616 is out of range"},
      {replaced(today, "\"samples\": []", "\"samples\": {}"),
       "runs[1].samples: expected an array, got an object"},
      {replaced(today, "\"rate\": 43120.0", "\"rates\": 43120.0"),
       "runs[0].samples[1]: rate is missing"},
      {replaced(today, "\"runs\": [", "\"runs\": [[], "), "runs[0]: expected an object"},
      {replaced(today, "\"host\": {", "\"host\": [{"), "host: expected an object"},
      {replaced(SCHEMA_ONE, R"("id": "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f",)", ""),
       "runs[0].id is missing"},
      {replaced(SCHEMA_ONE, "\"repetition\": 2", "\"repetition\": 0"),
       "runs[0].repetition: 0, but repetitions count from 1"},
      {replaced(SCHEMA_ONE, R"("arch": "x86_64")", "\"arch\": 64"),
       "environment.cpu.arch: expected a string or null, got a whole number"},
  };
  for (const Case& c : cases) {
    const auto result = read_document(c.text, {.samples = true});
    if (c.reason.empty()) {
      EXPECT_TRUE(std::holds_alternative<LoadedDocument>(result)) << c.text;
      continue;
    }
    const auto* reason = std::get_if<std::string>(&result);
    ASSERT_NE(reason, nullptr) << c.reason;
    EXPECT_NE(reason->find(c.reason), std::string::npos) << *reason << "\nexpected: " << c.reason;
  }
}

// Every field kept is checked against the schema, and across fields exactly
// the four rules of the samples; each refusal names the first bad field.
// A sample's noise is kept (with keep_json, for the history) as given, and a
// bad figure refuses the document with its path, as every kept value does.
TEST(ReadDocument, KeepsEachSecondsNoiseAndRefusesABadFigure) {
  const auto with_noise = [](const std::string& first, const std::string& second) {
    std::string text = SCHEMA_ONE;
    for (const auto& [from, noise] : {std::pair{std::string("\"rate\": 90000.0}"), first},
                                      std::pair{std::string("\"rate\": 97948}"), second}}) {
      const auto at = text.find(from);
      EXPECT_NE(at, std::string::npos) << from;
      text.replace(at, from.size(),
                   from.substr(0, from.size() - 1) + ", \"noise\": " + noise + "}");
    }
    return text;
  };
  const std::string loud =
      R"({"steal_percent": 14.5, "other_cpus": 0.75, "other_cpus_run": 0.5,
          "cpu_pressure_percent": 30, "throttled_percent": 12.5, "throttled_periods": 3,
          "thermal_events": 2, "frequency_mhz": 2601.5, "disturbed": true})";
  const std::string text = with_noise(loud, "null");
  const LoadedDocument kept = read_ok(text, {.samples = true, .keep_json = true});
  ASSERT_EQ(kept.runs.size(), 1u);
  ASSERT_EQ(kept.runs[0].sample_noise.size(), 2u);
  ASSERT_TRUE(kept.runs[0].sample_noise[0].has_value());
  const LoadedSecondNoise& second = *kept.runs[0].sample_noise[0];
  EXPECT_EQ(second.steal_percent, 14.5);
  EXPECT_EQ(second.other_cpus, 0.75);
  EXPECT_EQ(second.other_cpus_run, 0.5);
  EXPECT_EQ(second.cpu_pressure_percent, 30.0);
  EXPECT_EQ(second.throttled_percent, 12.5);
  EXPECT_EQ(second.throttled_periods, 3u);
  EXPECT_EQ(second.thermal_events, 2u);
  EXPECT_EQ(second.frequency_mhz, 2601.5);
  EXPECT_TRUE(second.disturbed);
  EXPECT_FALSE(kept.runs[0].sample_noise[1].has_value());
  EXPECT_EQ(kept.runs[0].disturbed_seconds, std::nullopt);  // its record does not count them
  EXPECT_TRUE(read_ok(text).runs[0].sample_noise.empty());  // kept only when asked

  const auto counted =
      read_ok(std::string(SCHEMA_ONE)
                  .replace(std::string(SCHEMA_ONE).find(R"("in_container": false)"), 21,
                           R"("in_container": false, "disturbed_seconds": 7)"));
  EXPECT_EQ(counted.runs[0].disturbed_seconds, 7u);

  const std::pair<std::string, std::string> refused[] = {
      {R"({"steal_percent": 101})",
       "runs[0].samples[0].noise.steal_percent: expected a percentage"},
      {R"({"other_cpus": -0.5})", "runs[0].samples[0].noise.other_cpus: expected a number >= 0"},
      {R"({"thermal_events": 1.5})", "runs[0].samples[0].noise.thermal_events: expected a whole"},
      {R"({"disturbed": 1})", "runs[0].samples[0].noise.disturbed: expected true or false"},
      {R"("loud")", "runs[0].samples[0].noise: expected an object or null, got a string"},
      {R"([1])", "runs[0].samples[0].noise: expected an object, got an array"},
  };
  for (const auto& [noise, reason] : refused) {
    const auto result = read_document(with_noise(noise, "null"));
    const auto* why = std::get_if<std::string>(&result);
    ASSERT_NE(why, nullptr) << noise;
    EXPECT_NE(why->find(reason), std::string::npos) << *why << "\nexpected: " << reason;
  }
}

TEST(ReadDocument, RefusesValuesTheSchemaForbids) {
  const auto with = [](const std::string& from, const std::string& to) {
    std::string text = SCHEMA_ONE;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  struct Case {
    std::string text;
    std::string reason;  // empty: accepted
  };
  const Case cases[] = {
      {with(R"("id": "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f")",
            R"("id": "--------------------------------")"),
       "runs[0].id: '--------------------------------' is not a run id"},
      {with(R"("id": "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f")", R"("id": "\u001b[2J")"),
       "runs[0].id: '\\x1B[2J' is not a run id"},
      {with(R"("label": "single")", R"("label": "Single")"),
       "runs[0].label: expected single or all-cpus"},
      {with(R"("status": "completed")", R"("status": "done")"), "status: expected completed"},
      {with(R"("started": "2026-12-07T23:50:01.123Z")", R"("started": "garbage")"),
       "runs[0].started: 'garbage' is not a UTC time"},
      {with(R"("timestamp": "2026-12-07T23:50:01Z")", R"("timestamp": "2026-02-30T00:00:00Z")"),
       "environment.timestamp: '2026-02-30T00:00:00Z' is not a UTC time"},
      {with("\"mean_rate\": 93974.2", "\"mean_rate\": -1"),
       "runs[0].mean_rate: expected a number >= 0, got -1"},
      {with("\"mean_rate\": 93974.2", "\"mean_rate\": 1e400"),
       "not JSON at line 17, column 38: number too big"},
      {with("\"cv_percent\": 12.5", "\"cv_percent\": -0.5"), "runs[0].cv_percent: expected"},
      {with("\"threads\": 1", "\"threads\": 0"), "runs[0].threads: 0, but a completed"},
      {with("\"threads\": 1", "\"threads\": 99999999"),
       "runs[0].threads: 99999999 is out of range"},
      {with("\"status\": 0", "\"status\": 2") + "", ""},  // a failed run with its figures
      {with("\"sample_count\": 2", "\"sample_count\": 3"),
       "runs[0].sample_count: 3, but the run has 2 samples"},
      {with("\"operations\": 187948", "\"operations\": 187949"),
       "runs[0].operations: 187949, but its samples' operations add up to 187948"},
      {with("\"rate\": 97948}", R"("rate": "fast"})"),
       "runs[0].samples[1].rate: expected a number, got a string"},
      {with(R"("time": 2.0, "duration": 1.0)", R"("time": 1.0, "duration": 1.0)"),
       "runs[0].samples[1].time: 1 does not come after the previous sample's 1"},
      {with(R"("time": 2.0, "duration": 1.0)", R"("time": 2.0, "duration": 0)"),
       "runs[0].samples[1].duration: expected a number > 0, got 0"},
      {with("\"operations\": 97948", R"("operations": 97948, "operations": 1)"),
       "runs[0].samples[1].operations: given twice"},
      {with("\"checksum\": 18446744073709551615", "\"checksum\": 18446744073709551615.0"),
       "runs[0].checksum: expected a whole number"},
      {with("\"schema_version\": 1,", ""), ""},  // a 0.0.2 document
      {with("\"noise\": {", R"("noise": {"x": {"y": [1, {"z": null}]}, )"), ""},
  };
  for (const Case& c : cases) {
    const auto result = read_document(c.text, {.samples = true, .keep_json = true});
    if (c.reason.empty()) {
      EXPECT_TRUE(std::holds_alternative<LoadedDocument>(result)) << std::get<std::string>(result);
      continue;
    }
    const auto* reason = std::get_if<std::string>(&result);
    ASSERT_NE(reason, nullptr) << c.reason;
    EXPECT_NE(reason->find(c.reason), std::string::npos) << *reason << "\nexpected: " << c.reason;
  }
}

// Written back, a document reads as the same model: what the history keeps
// is enough to give compare the same figures.
TEST(ReadDocument, WrittenBackReadsTheSame) {
  const ReadOptions all{.samples = true, .keep_json = true};
  for (const std::string& text : {std::string(SCHEMA_ONE), today_document(ALL_CPUS_RUN)}) {
    const LoadedDocument first = read_ok(text, all);
    const LoadedDocument second = read_ok(write_document(first), all);
    ASSERT_EQ(first.runs.size(), second.runs.size());
    EXPECT_EQ(first.json, second.json);
    for (size_t i = 0; i < first.runs.size(); ++i) {
      EXPECT_EQ(first.runs[i].id, second.runs[i].id);
      EXPECT_EQ(first.runs[i].json, second.runs[i].json);
      EXPECT_EQ(first.runs[i].rates, second.runs[i].rates);
      EXPECT_EQ(first.runs[i].times, second.runs[i].times);
    }
  }
  // A 0.0.2 run's id comes from its values, not their text: 2.0 and 2 agree,
  // a bigint a double cannot hold is refused rather than rounded.
  std::string other = today_document(ALL_CPUS_RUN);
  other.replace(other.find("\"measured_seconds\": 2.001"), 25, "\"measured_seconds\": 2.0010");
  EXPECT_EQ(read_ok(other).runs[0].id, read_ok(today_document(ALL_CPUS_RUN)).runs[0].id);
  other.replace(other.find("\"mean_rate\": 42081.5"), 20, "\"mean_rate\": 36893488147419103233");
  const auto big = read_document(other);
  ASSERT_TRUE(std::holds_alternative<std::string>(big));
  EXPECT_NE(std::get<std::string>(big).find("cannot be represented exactly"), std::string::npos);
}

// The ids the previous release gave 0.0.2 runs, as histories in users' hands
// hold them: computed by that release's program for these documents. Each
// run must keep its id, or importing it again would store it twice.
std::string old_document(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string run = R"({"label": "single", "status": 0, "status_name": "completed", "reason": "",
 "abi_version": 1, "benchmark": 1, "threads": 1, "mean_rate": MEAN,
 "warmup_seconds": 5, "measure_seconds": 2, "measured_seconds": MEASURED,
 "cv_percent": CV, "has_cv": true, "unstable": false, "operations": OPS,
 "checksum": CHECK, "checksum_hex": "d7d071cfd6ab16d9", "sample_count": 2,
 "samples": [{"time": T1, "duration": 1.0, "operations": 41000, "rate": R1},
             {"time": 2.001, "duration": 1.001, "operations": SOPS, "rate": 43120.0}]})";
  std::vector<std::pair<std::string, std::string>> all = {{"MEAN", "42081.5"},
                                                          {"MEASURED", "2.001"},
                                                          {"CV", "1.5"},
                                                          {"OPS", "84163"},
                                                          {"CHECK", "15527385062390863577"},
                                                          {"T1", "1.0"},
                                                          {"R1", "41000.0"},
                                                          {"SOPS", "43163"}};
  for (const auto& [name, value] : values) {
    for (auto& entry : all) {
      if (entry.first == name) entry.second = value;
    }
  }
  // SOPS before OPS: the longer name first.
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  for (const auto& [name, value] : all) {
    const auto at = run.find(name);
    EXPECT_NE(at, std::string::npos) << name;
    run.replace(at, name.size(), value);
  }
  return R"({"program": "tarnwick", "status": "completed", "library": {"version": "0.0.2",
    "abi_version": 1}, "host": {"cpu_model": "Example CPU", "cpus_available": 2,
    "cpus_source": "library", "governor": null, "load_average_1m": 0.3}, "runs": [)" +
         run + R"(, {"label": "all-cpus", "status": 1, "status_name": "cancelled",
 "reason": "cancelled", "abi_version": 1, "benchmark": 1, "threads": 2, "mean_rate": null,
 "warmup_seconds": 5, "measure_seconds": 2, "measured_seconds": 0.5, "cv_percent": null,
 "has_cv": false, "unstable": false, "operations": 0, "checksum": 7,
 "checksum_hex": "0000000000000007", "sample_count": 0, "samples": []}],
 "scaling": 0.9, "warnings": ["the 1-minute load average is high"]})";
}

TEST(ReadDocument, GivesOldRunsTheIdsThePreviousReleaseStored) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> values;
    const char* id;  // of the single run, as the previous release computed it
  };
  const Case cases[] = {
      {"as the 0.0.2 program wrote it", {}, "hb9e570abeaf0e441e8ddce7f275661f3"},
      {"exponents",
       {{"MEAN", "4.20815e4"},
        {"MEASURED", "2001e-3"},
        {"CV", "15E-1"},
        {"T1", "1e0"},
        {"R1", "4.1E+4"}},
       "hb9e570abeaf0e441e8ddce7f275661f3"},
      {"trailing zeros",
       {{"MEASURED", "2.0010"}, {"CV", "1.50"}, {"R1", "41000.000"}},
       "hb9e570abeaf0e441e8ddce7f275661f3"},
      {"an integer where a fraction may be",
       {{"MEAN", "42081"}},
       "h3b0558613c9005ce98caae714bd4c9d2"},
      {"negative zero", {{"CV", "-0.0"}}, "h670e72084c40c157999035f821df6b72"},
      {"negative zero, exponent", {{"CV", "-0e0"}}, "h670e72084c40c157999035f821df6b72"},
      {"zero", {{"CV", "0.0"}}, "h3850cee1a19c2f62257c587137d087fb"},
      {"large",
       {{"CV", "1.7976931348623157e308"},
        {"CHECK", "18446744073709551615"},
        {"OPS", "9223372036854816000"},
        {"SOPS", "9223372036854775000"},
        {"R1", "1e21"}},
       "hd48e8c014c4657a978fce0387f7aeb23"},
      {"tiny", {{"CV", "5e-324"}, {"MEAN", "0.05"}}, "h15fc4aa9e7d421818c68d0b6ca801e6c"},
      {"tiny, other digits",
       {{"CV", "4.9406564584124654e-324"}, {"MEAN", "5e-2"}},
       "h15fc4aa9e7d421818c68d0b6ca801e6c"},
      {"more digits than a double holds",
       {{"MEAN", "900719925474099.31"}, {"CV", "0.1000000000000000055511151231257827"}},
       "h585566893e758eb611da9646df9e7986"},
      // The previous release hashed samples as written, but the history keeps
      // their time and rate as doubles and writes 1 back as 1.0: the id is
      // the one it gave the document written back, the same as 1.0's.
      {"samples' numbers as integers",
       {{"MEAN", "42081"}, {"T1", "1"}, {"R1", "41000"}},
       "h3b0558613c9005ce98caae714bd4c9d2"},
  };
  for (const Case& c : cases) {
    const LoadedDocument document = read_ok(old_document(c.values));
    ASSERT_EQ(document.runs.size(), 2u) << c.what;
    EXPECT_EQ(document.runs[0].id, c.id) << c.what;
    EXPECT_EQ(document.runs[1].id, "hc3abac85900df81c5243136a8b3c85ad") << c.what;
  }
  // An integer -0 the history writes back as 0: the id of the 0 that the
  // previous release's export carried.
  std::string zero = old_document({});
  zero.replace(zero.find("\"warmup_seconds\": 5"), 19, "\"warmup_seconds\": -0");
  EXPECT_EQ(read_ok(zero).runs[0].id, "ha6aa20fbac7555c9616d05db392e2be6");

  // What the history could not write back as read is refused, not given
  // an id that would change on export.
  const std::pair<std::string, std::string> refused[] = {
      {R"("status_name": "completed", "status_name": "x")", "runs[0]: 'status_name' given twice"},
      {R"("status_name": {"a": 1, "a": 2})", "runs[0]: 'a' given twice"},
      {"\"status_name\": 123456789012345678901234567890",
       "runs[0]: 123456789012345678901234567890 cannot be represented exactly"},
  };
  for (const auto& [value, reason] : refused) {
    std::string text = old_document({});
    text.replace(text.find(R"("status_name": "completed")"), 27, value);
    const auto result = read_document(text);
    ASSERT_TRUE(std::holds_alternative<std::string>(result)) << value;
    EXPECT_NE(std::get<std::string>(result).find(reason), std::string::npos)
        << std::get<std::string>(result);
  }
  // A key given twice in a document of today's schema is no 0.0.2 run's id.
  std::string today = SCHEMA_ONE;
  today.replace(today.find("\"has_cv\": true"), 14, R"("has_cv": true, "has_cv": true)");
  EXPECT_EQ(read_ok(today).runs.size(), 1u);
}

// A file holds any number of documents in any layout; a refused one is
// named with its place and the rest are read.
TEST(DocumentReader, ReadsEveryDocumentOfALogAndGoesOnPastABadOne) {
  const std::string one = nlohmann::json::parse(SCHEMA_ONE).dump();
  const std::string pretty = nlohmann::json::parse(SCHEMA_ONE).dump(2);
  const std::string log = one + "\n" + std::string("\0\0\0", 3) + "\n" + pretty + "\n" + one + one +
                          "\n{\"program\": \"tarnwick\", \"runs\": [[[[\n" + pretty + "\n";
  DocumentReader reader(std::string_view(log), {});
  std::vector<std::string> seen;
  while (auto item = reader.next()) {
    if (auto* reason = std::get_if<std::string>(&*item)) {
      seen.push_back(*reason);
    } else {
      seen.emplace_back("ok");
    }
  }
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[0], "ok");
  EXPECT_NE(seen[1].find("document 2 (line 2): a NUL byte at line 2, column 1"), std::string::npos)
      << seen[1];
  EXPECT_EQ(seen[2], "ok");
  EXPECT_EQ(seen[3], "ok");
  EXPECT_EQ(seen[4], "ok");  // two documents on one line
  EXPECT_NE(seen[5].find("runs[0]: expected an object"), std::string::npos) << seen[5];
  EXPECT_EQ(seen[6], "ok");

  // Runs are known by id: the second copy of a run is dropped.
  SeenRuns runs;
  LoadedDocument a = read_ok(SCHEMA_ONE);
  LoadedDocument b = read_ok(SCHEMA_ONE);
  EXPECT_EQ(runs.keep_new(a, "a"), 0u);
  EXPECT_EQ(runs.keep_new(b, "b"), 1u);
  EXPECT_TRUE(b.runs.empty());
}

TEST(ReadDocumentFile, NamesTheFileItCannotRead) {
  const auto missing = read_document_file("/nonexistent/result.json");
  ASSERT_TRUE(std::holds_alternative<std::string>(missing));
  EXPECT_EQ(std::get<std::string>(missing),
            "cannot read '/nonexistent/result.json': No such file or directory");
  const auto directory = read_document_file("/");
  ASSERT_TRUE(std::holds_alternative<std::string>(directory));
  EXPECT_EQ(std::get<std::string>(directory), "cannot read '/': a folder, not a file of documents");
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Each document of `text`: "ok <host>" or its reason.
std::vector<std::string> read_all(std::string_view text, ReadOptions options = {}) {
  DocumentReader reader(text, options);
  std::vector<std::string> seen;
  while (auto item = reader.next()) {
    if (auto* reason = std::get_if<std::string>(&*item)) {
      seen.push_back(*reason);
    } else {
      seen.push_back("ok " + std::get<LoadedDocument>(*item).hostname.value_or("?"));
    }
  }
  return seen;
}

nlohmann::json schema_one(const std::string& host) {
  nlohmann::json document = nlohmann::json::parse(SCHEMA_ONE);
  document["environment"]["hostname"] = host;
  return document;
}

// Document boundaries are the parser's: a '{' at the start of a line inside
// a document is part of it; after a parse error reading goes on at the first
// such line after the document's start, back or forward.
TEST(DocumentReader, FindsDocumentsByTheParsersStructure) {
  nlohmann::json nested = schema_one("a");
  nested["extra"] = {{"inner", {{"x", 1}}}};
  std::string text = nested.dump(2);
  text.replace(text.find("\"extra\": {"), 10, "\"extra\":\n{");
  EXPECT_EQ(read_all(text + "\n" + schema_one("b").dump() + "\n"),
            (std::vector<std::string>{"ok a", "ok b"}));

  // Cut where a value was due: the next line's document is read again.
  const std::string whole = schema_one("c").dump();
  const std::string cut = whole.substr(0, whole.find("\"samples\":[") + 11);
  const auto seen = read_all(cut + "\n" + schema_one("d").dump() + "\n" + schema_one("e").dump());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_NE(seen[0].find("unfinished: line 2 begins with '{'"), std::string::npos) << seen[0];
  EXPECT_EQ(seen[1], "ok d");
  EXPECT_EQ(seen[2], "ok e");
  // Cut where a key was due: it ends where the next one begins.
  const std::string at_key = whole.substr(0, whole.find("\"runs\""));
  EXPECT_EQ(read_all(at_key + "\n" + schema_one("f").dump()),
            (std::vector<std::string>{
                "unfinished: it ends at line 2, where the next document begins", "ok f"}));
}

TEST(ReadDocument, RefusesLoneSurrogatesOfEitherKind) {
  for (const char* bad : {R"("\udc00")", R"("a\udfffb")", R"("\ud800")", R"("\ud800\u0041")"}) {
    const std::string text =
        std::string(SCHEMA_ONE).replace(std::string(SCHEMA_ONE).find("\"node01\""), 8, bad);
    const auto read = read_document(text);
    ASSERT_TRUE(std::holds_alternative<std::string>(read)) << bad;
    EXPECT_NE(std::get<std::string>(read).find("surrogate"), std::string::npos)
        << std::get<std::string>(read);
  }
  std::string key = SCHEMA_ONE;
  key.replace(key.find("\"os\""), 4, R"("\udc00")");
  EXPECT_TRUE(std::holds_alternative<std::string>(read_document(key)));
  std::string pair = SCHEMA_ONE;
  pair.replace(pair.find("\"node01\""), 8, R"("\ud83d\ude00")");
  EXPECT_EQ(read_ok(pair).hostname, "\xf0\x9f\x98\x80");
}

TEST(ReadDocument, RefusesRunsThatCannotBeJudged) {
  const UtcMillis now = *parse_utc("2026-12-08T00:00:00Z");
  const auto reason = [&](const std::string& field, const nlohmann::json& value) {
    nlohmann::json document = nlohmann::json::parse(SCHEMA_ONE);
    document["runs"][0][field] = value;
    const auto read = read_document(document.dump(), ReadOptions{.now = now});
    return std::holds_alternative<std::string>(read) ? std::get<std::string>(read)
                                                     : std::string("read");
  };
  for (const double rate : {0.0, 5e-324, 1e-300, 9.99e-4, 1.01e15, 1e308}) {
    EXPECT_NE(reason("mean_rate", rate).find("runs[0].mean_rate: "), std::string::npos) << rate;
  }
  EXPECT_EQ(reason("mean_rate", 1e-3), "read");
  EXPECT_EQ(reason("mean_rate", 1e15), "read");
  EXPECT_EQ(reason("mean_rate", nullptr),
            "runs[0].mean_rate: null, but a completed run has a mean rate");
  EXPECT_EQ(reason("started", "2026-12-08T23:59:59Z"), "read");
  EXPECT_NE(reason("started", "2026-12-09T00:00:01Z").find("more than a day after"),
            std::string::npos);
  // A cancelled run has no mean rate to judge.
  nlohmann::json cancelled = nlohmann::json::parse(SCHEMA_ONE);
  cancelled["runs"][0]["status"] = 1;
  cancelled["runs"][0]["mean_rate"] = nullptr;
  EXPECT_TRUE(std::holds_alternative<LoadedDocument>(
      read_document(cancelled.dump(), ReadOptions{.now = now})));
}

// Whatever the order, a run id given two sets of figures is in conflict and
// every run of it is left out; the same figures again are one run.
TEST(SeenRuns, LeavesOutBothRunsOfAConflictInAnyOrder) {
  LoadedDocument slow = read_ok(SCHEMA_ONE);
  nlohmann::json fast_json = nlohmann::json::parse(SCHEMA_ONE);
  fast_json["runs"][0]["mean_rate"] = 164295.0;
  LoadedDocument fast = read_ok(fast_json.dump());
  for (const bool slow_first : {true, false}) {
    SeenRuns seen;
    std::vector<LoadedDocument> kept{slow_first ? slow : fast, slow_first ? fast : slow, slow};
    std::size_t again = 0;
    std::vector<LoadedDocument> read;
    for (LoadedDocument& document : kept) {
      again += seen.keep_new(document, "doc");
      if (!document.runs.empty()) read.push_back(std::move(document));
    }
    EXPECT_EQ(read.size(), 1u);  // the first, before the conflict was met
    seen.drop_conflicts(read);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(again, 0u);
    ASSERT_EQ(seen.conflicts().size(), 1u);
    EXPECT_NE(seen.conflicts()[0].find("mean_rate"), std::string::npos) << seen.conflicts()[0];
  }
  // Across the sides of a comparison.
  SeenRuns base, now;
  std::vector<LoadedDocument> bases{slow}, nows{fast};
  base.keep_new(bases[0], "BASE");
  now.keep_new(nows[0], "NEW");
  base.cross_check(now);
  base.drop_conflicts(bases);
  now.drop_conflicts(nows);
  EXPECT_TRUE(bases.empty());
  EXPECT_TRUE(nows.empty());
}

// A document that needs more than the budget left is refused and ends the
// input; a text field past its cap is refused with its path.
TEST(DocumentReader, HoldsNoMoreThanItsBudget) {
  nlohmann::json document = nlohmann::json::parse(SCHEMA_ONE);
  for (int i = 0; i < 200; ++i) document["runs"].push_back(document["runs"][0]);
  const MemoryBudget small(64 << 10);
  // The reader reads the text in place: it must outlive the reader.
  const std::string text = document.dump() + "\n" + std::string(SCHEMA_ONE);
  DocumentReader reader(text, ReadOptions{.samples = true, .budget = &small});
  const auto first = reader.next();
  ASSERT_TRUE(first && std::holds_alternative<std::string>(*first));
  EXPECT_NE(std::get<std::string>(*first).find("memory budget"), std::string::npos);
  EXPECT_TRUE(reader.over_budget());
  EXPECT_FALSE(reader.next());

  const MemoryBudget enough;
  const auto read = read_document(document.dump(), ReadOptions{.budget = &enough});
  ASSERT_TRUE(std::holds_alternative<LoadedDocument>(read));
  EXPECT_GT(std::get<LoadedDocument>(read).held_bytes, 201 * sizeof(LoadedRun));

  nlohmann::json long_host = nlohmann::json::parse(SCHEMA_ONE);
  long_host["environment"]["hostname"] = std::string(MAX_TEXT_BYTES + 1, 'n');
  const auto refused = read_document(long_host.dump());
  ASSERT_TRUE(std::holds_alternative<std::string>(refused));
  EXPECT_EQ(std::get<std::string>(refused).rfind("environment.hostname: ", 0), 0u);
  long_host["environment"]["hostname"] = std::string(MAX_TEXT_BYTES, 'n');
  EXPECT_TRUE(std::holds_alternative<LoadedDocument>(read_document(long_host.dump())));
}

}  // namespace
}  // namespace tarnwick
