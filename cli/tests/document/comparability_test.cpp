#include "document/comparability.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace tarnwick {
namespace {

LoadedDocument read(const std::string& text) {
  auto read = read_document(text);
  if (auto* reason = std::get_if<std::string>(&read)) ADD_FAILURE() << *reason;
  return std::get<LoadedDocument>(std::move(read));
}

std::string document(const std::string& host, const std::string& model, int threads,
                     const std::string& noise) {
  return R"({"schema_version": 1, "program": "tarnwick", "status": "completed",
    "library": {"version": "0.0.3"},
    "environment": {"hostname": ")" +
         host + R"(", "cpu": {"arch": "x86_64", "model": ")" + model + R"("}},
    "host": {"cpu_model": "ignored", "cpus_available": 4},
    "runs": [{"id": "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f", "label": "single", "repetition": 1,
      "status": 0, "threads": )" +
         std::to_string(threads) + R"(, "mean_rate": 1000, "measured_seconds": 1,
      "operations": 0, "checksum": 0, "sample_count": 0, "samples": [], "noise": )" +
         noise + "}]}";
}

TEST(Comparability, ModelsCompareTrimmedCollapsedAndCaseless) {
  const LoadedDocument a = read(document("vm", "  Intel(R)  Xeon(R)\\tGold 6248 ", 1, "null"));
  const LoadedDocument b = read(document("other", "intel(r) xeon(r) gold 6248", 1, "null"));
  const RunKey key_a = run_key(a, a.runs[0]);
  const RunKey key_b = run_key(b, b.runs[0]);
  EXPECT_EQ(key_a.cpu_model, "intel(r) xeon(r) gold 6248");
  EXPECT_EQ(key_a.host, "vm");
  // The host is identity: the keys differ, the runs are comparable.
  EXPECT_NE(key_a, key_b);
  EXPECT_TRUE(comparable(key_a, key_b));
  EXPECT_EQ(differences(key_a, key_b), 0u);
}

TEST(Comparability, NamesEachDifference) {
  const RunKey base = run_key("vm", "single", 1, "0.0.3", "x86_64", "A CPU");
  const struct {
    RunKey other;
    Differences expected;
  } cases[] = {
      {run_key("vm", "single", 2, "0.0.3", "x86_64", "a  cpu"), bit(Difference::workers)},
      {run_key("vm", "single", 1, "0.0.4", "x86_64", "A CPU"), bit(Difference::library)},
      {run_key("vm", "single", 1, "0.0.3", "aarch64", "A CPU"), bit(Difference::arch)},
      {run_key("vm", "single", 1, "0.0.3", "x86_64", "B CPU"), bit(Difference::cpu)},
      {run_key("vm", "single", 1, "0.0.3", "x86_64", std::nullopt), bit(Difference::cpu)},
      {run_key("vm", "all-cpus", 2, "0.0.3", "x86_64", "A CPU"),
       bit(Difference::label) | bit(Difference::workers)},
  };
  for (const auto& item : cases) {
    EXPECT_EQ(differences(base, item.other), item.expected) << item.other.cpu_model;
  }
  EXPECT_EQ(difference_names(bit(Difference::cpu) | bit(Difference::workers)),
            (std::vector<std::string_view>{"workers", "cpu"}));
}

TEST(Comparability, AcrossAcceptsOnlyDifferencesThatCanBeAccepted) {
  EXPECT_EQ(parse_differences("cpu,workers"), bit(Difference::cpu) | bit(Difference::workers));
  EXPECT_EQ(parse_differences("arch"), bit(Difference::arch));
  std::string refused;
  EXPECT_EQ(parse_differences("cpu,library", &refused), std::nullopt);
  EXPECT_EQ(refused, "library");  // a library version is never judged across
  EXPECT_EQ(parse_differences("cpu,", &refused), std::nullopt);
  EXPECT_EQ(refused, "");
  EXPECT_EQ(parse_differences("label", &refused), std::nullopt);
}

TEST(Comparability, ARunsNoiseRecordDecidesWhetherItWasDisturbed) {
  // 4 CPUs, 1 worker: 3 free, 3.5 tolerated.
  const LoadedDocument quiet = read(document(
      "vm", "A", 1, R"({"steal_percent": 0.4, "other_cpus": 3.4, "in_container": false})"));
  EXPECT_EQ(quiet.cpus_available, 4u);
  EXPECT_EQ(quiet.runs[0].other_cpus, 3.4);
  EXPECT_FALSE(run_disturbance(quiet, quiet.runs[0]).disturbed());
  const LoadedDocument busy = read(document(
      "vm", "A", 1, R"({"steal_percent": 0.4, "other_cpus": 3.6, "in_container": false})"));
  EXPECT_TRUE(run_disturbance(busy, busy.runs[0]).other_processes);
  EXPECT_TRUE(run_disturbance(busy, busy.runs[0]).disturbed());
  const LoadedDocument contained = read(
      document("vm", "A", 1, R"({"steal_percent": 7.5, "other_cpus": 3.6, "in_container": true})"));
  EXPECT_TRUE(contained.runs[0].in_container);
  EXPECT_TRUE(run_disturbance(contained, contained.runs[0]).shown());
  EXPECT_FALSE(run_disturbance(contained, contained.runs[0]).disturbed());
  // A bad noise record refuses the document as any bad field does.
  EXPECT_TRUE(std::holds_alternative<std::string>(
      read_document(document("vm", "A", 1, R"({"steal_percent": 101})"))));
  EXPECT_TRUE(std::holds_alternative<std::string>(
      read_document(document("vm", "A", 1, R"({"other_cpus": -1})"))));
  EXPECT_TRUE(std::holds_alternative<std::string>(read_document(document("vm", "A", 1, R"([1])"))));
}

}  // namespace
}  // namespace tarnwick
