#include "document/json_writer.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "make_run.hpp"

namespace tarnwick {
namespace {

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

}  // namespace
}  // namespace tarnwick
