// Random and boundary configuration records through the real tarnwick_run,
// each judged by the independent oracle. The record count is set per build
// (a million under the address sanitizer).

#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "config_check.hpp"
#include "config_oracle.hpp"
#include "config_records.hpp"
#include "process_state.hpp"

#ifndef TARNWICK_FUZZ_RECORDS
#define TARNWICK_FUZZ_RECORDS 100000
#endif

namespace tarnwick::reliability {
namespace {

constexpr std::uint64_t RECORDS = TARNWICK_FUZZ_RECORDS;
constexpr std::uint64_t SEED = 0x7a3e5c1d2b4f6a89ULL;

std::uint32_t affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  return static_cast<std::uint32_t>(CPU_COUNT(&set));
}

TEST(ConfigFuzz, EveryRecordEndsAsTheValidationRulesSay) {
  const std::uint32_t workers = benchmark_two_workers();
  ASSERT_GE(workers, 1u);
  ASSERT_LE(workers, affinity_cpus());

  RecordSource source(SEED);
  std::map<std::string, std::uint64_t> tally;
  std::uint64_t failures = 0;
  const auto started = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < RECORDS; ++i) {
    const std::optional<Record> record = source.next();
    const unsigned char* bytes = record ? record->data() : nullptr;
    std::string reason;
    const std::string differences = check_cancelled_run(bytes, workers, i % 97 == 0, &reason);
    ++tally[reason];
    if (!differences.empty()) {
      ADD_FAILURE() << "record " << i << " (" << describe_record(bytes) << "): " << differences;
      if (++failures == 10) break;
    }
    if (i % 65536 == 0) {
      ASSERT_EQ(count_worker_threads(), 0u) << "after record " << i;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf("%llu records in %.1f s (seed %#llx, %u workers for benchmark 2)\n",
              static_cast<unsigned long long>(RECORDS), seconds,
              static_cast<unsigned long long>(SEED), workers);
  for (const auto& [reason, count] : tally) {
    std::printf("  %9llu  %s\n", static_cast<unsigned long long>(count), reason.c_str());
  }
  // Every rule must have been reached often, or the mix proves little.
  const std::uint64_t floor = RECORDS / 2000;
  for (const std::string_view reason :
       {oracle_text::CONFIG_NULL, oracle_text::INCOMPATIBLE, oracle_text::UNKNOWN_BENCHMARK,
        oracle_text::RESERVED, oracle_text::DURATIONS, oracle_text::NOT_POSITIVE,
        oracle_text::CANCELLED_BEFORE}) {
    EXPECT_GE(tally[std::string(reason)], floor) << reason;
  }
  EXPECT_EQ(tally.size(), 7u) << "a reason outside the validation rules was reported";
}

}  // namespace
}  // namespace tarnwick::reliability
