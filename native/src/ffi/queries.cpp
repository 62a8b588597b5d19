// The three queries: copies of what a finished attempt stored. Each holds the
// handle's mutex only while it copies, and writes nothing when it returns 0.
#include <cstring>
#include <mutex>

#include "handle.hpp"
#include "tarnwick.h"

namespace tarnwick {
namespace {

tarnwick_result_t to_result_record(const Outcome& o) noexcept {
  tarnwick_result_t r;
  r.abi_version = TARNWICK_ABI_VERSION;
  r.status = o.status;
  r.benchmark = o.benchmark;
  r.threads = o.threads;
  r.mean_rate = o.mean_rate.value_or(0.0);
  r.warmup_seconds = o.warmup_seconds;
  r.measure_seconds = o.measure_seconds;
  r.measured_seconds = o.measured_seconds;
  r.cv_percent = o.cv_percent.value_or(0.0);
  r.operations = o.operations;
  r.checksum = o.checksum;
  r.sample_count = o.samples.size();
  r.unstable = o.unstable ? 1 : 0;
  r.has_cv = o.cv_percent.has_value() ? 1 : 0;
  return r;
}

}  // namespace
}  // namespace tarnwick

extern "C" {

TARNWICK_API int32_t tarnwick_result(tarnwick_handle_t* handle, tarnwick_result_t* out) noexcept {
  if (handle == nullptr || out == nullptr) return 0;
  const std::lock_guard lock(handle->stored.mutex);
  if (!handle->stored.value) return 0;
  *out = tarnwick::to_result_record(handle->stored.value->outcome);
  return 1;
}

TARNWICK_API int32_t tarnwick_sample(tarnwick_handle_t* handle, uint64_t index,
                                     tarnwick_sample_t* out) noexcept {
  if (handle == nullptr || out == nullptr) return 0;
  const std::lock_guard lock(handle->stored.mutex);
  if (!handle->stored.value) return 0;
  const auto& samples = handle->stored.value->outcome.samples;
  if (index >= samples.size()) return 0;
  // Same layout on both sides (asserted with the exports).
  std::memcpy(out, &samples[index], sizeof(tarnwick_sample_t));
  return 1;
}

TARNWICK_API const char* tarnwick_reason(tarnwick_handle_t* handle) noexcept {
  if (handle == nullptr) return nullptr;
  const std::lock_guard lock(handle->stored.mutex);
  if (!handle->stored.value) return nullptr;
  return handle->stored.value->reason_text.c_str();
}

}  // extern "C"
