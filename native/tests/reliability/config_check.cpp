#include "config_check.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "capi.hpp"

namespace tarnwick::reliability {
namespace {

void count_call(const tarnwick_progress_t* /*progress*/, void* calls) {
  ++*static_cast<std::uint64_t*>(calls);
}

void compare(std::ostringstream& out, const char* field, std::uint64_t got, std::uint64_t want) {
  if (got != want) out << field << ": got " << got << ", want " << want << "; ";
}

}  // namespace

std::string describe_record(const unsigned char* record) {
  if (record == nullptr) return "null config";
  std::uint32_t words[4];
  std::uint64_t durations[2];
  std::memcpy(words, record, sizeof words);
  std::memcpy(durations, record + 16, sizeof durations);
  char text[160];
  std::snprintf(text, sizeof text,
                "abi=%#" PRIx32 " size=%#" PRIx32 " benchmark=%#" PRIx32 " reserved=%#" PRIx32
                " warmup=%a (%#" PRIx64 ") measure=%a (%#" PRIx64 ")",
                words[0], words[1], words[2], words[3], double_of(durations[0]), durations[0],
                double_of(durations[1]), durations[1]);
  return text;
}

std::uint32_t benchmark_two_workers() {
  HandlePtr handle = make_handle();
  if (!handle) return 0;
  const tarnwick_config_t config = make_config(2, 0.0, 1.0);
  tarnwick_cancel(handle.get());
  if (tarnwick_run(handle.get(), &config, nullptr, nullptr) != 1) return 0;
  tarnwick_result_t result{};
  if (tarnwick_result(handle.get(), &result) != 1) return 0;
  return result.threads;
}

std::string check_cancelled_run(const unsigned char* record, std::uint32_t workers, bool try_again,
                                std::string* reason) {
  // An allocation of exactly 32 bytes: a read past the record is caught by
  // the address sanitizer.
  std::unique_ptr<tarnwick_config_t> config;
  if (record != nullptr) {
    config = std::make_unique<tarnwick_config_t>();
    std::memcpy(config.get(), record, sizeof(tarnwick_config_t));
  }
  const Expectation want = expect_cancelled_run(record);
  HandlePtr handle = make_handle();
  if (!handle) return "tarnwick_create returned null";
  tarnwick_cancel(handle.get());
  std::uint64_t calls = 0;
  const std::int32_t status = tarnwick_run(handle.get(), config.get(), count_call, &calls);

  std::ostringstream out;
  compare(out, "return value", static_cast<std::uint64_t>(status), want.status);
  compare(out, "callback calls", calls, 0);
  tarnwick_result_t result;
  std::memset(&result, 0xa5, sizeof result);
  if (tarnwick_result(handle.get(), &result) != 1) return out.str() + "no result stored";
  const std::uint32_t threads =
      want.threads == ThreadCount::zero ? 0 : (want.benchmark == 1 ? 1 : workers);
  compare(out, "abi_version", result.abi_version, 1);
  compare(out, "status", result.status, want.status);
  compare(out, "benchmark", result.benchmark, want.benchmark);
  compare(out, "threads", result.threads, threads);
  compare(out, "warmup bits", bits_of(result.warmup_seconds), want.warmup_bits);
  compare(out, "measure bits", bits_of(result.measure_seconds), want.measure_bits);
  compare(out, "mean_rate bits", bits_of(result.mean_rate), 0);
  compare(out, "measured bits", bits_of(result.measured_seconds), 0);
  compare(out, "cv bits", bits_of(result.cv_percent), 0);
  compare(out, "operations", result.operations, 0);
  compare(out, "checksum", result.checksum, 0);
  compare(out, "sample_count", result.sample_count, 0);
  compare(out, "unstable", result.unstable, 0);
  compare(out, "has_cv", result.has_cv, 0);
  tarnwick_sample_t sample{};
  compare(out, "sample 0 copied",
          static_cast<std::uint64_t>(tarnwick_sample(handle.get(), 0, &sample)), 0);
  const std::string text = reason_of(handle.get());
  if (text != want.reason)
    out << "reason: got \"" << text << "\", want \"" << want.reason << "\"; ";
  if (reason != nullptr) *reason = text;

  if (try_again) {
    const char* first_text = tarnwick_reason(handle.get());
    const tarnwick_config_t valid = make_config(1, 0.0, 0.01);
    const std::int32_t again = tarnwick_run(handle.get(), &valid, count_call, &calls);
    compare(out, "second attempt", static_cast<std::uint64_t>(again), 2);
    compare(out, "callback calls after second attempt", calls, 0);
    tarnwick_result_t after;
    std::memset(&after, 0x5a, sizeof after);
    if (tarnwick_result(handle.get(), &after) != 1 ||
        std::memcmp(&after, &result, sizeof result) != 0) {
      out << "second attempt changed the stored result; ";
    }
    if (tarnwick_reason(handle.get()) != first_text) out << "second attempt moved the reason; ";
  }
  return out.str();
}

}  // namespace tarnwick::reliability
