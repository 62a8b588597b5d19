#include "run/runner.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "document/run_id.hpp"
#include "environment/noise.hpp"
#include "run/signals.hpp"

namespace tarnwick {
namespace {

struct HandleDeleter {
  void operator()(tarnwick_handle_t* handle) const noexcept { tarnwick_free(handle); }
};
using HandlePtr = std::unique_ptr<tarnwick_handle_t, HandleDeleter>;

// Withdraws the handle from the signal handler before the handle is freed,
// on every way out.
struct Published {
  explicit Published(tarnwick_handle_t* handle) { publish_handle(handle); }
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;
  ~Published() { withdraw_handle(); }
};

// Forwards the library's reports to the display, keeps the last phase and
// starts the noise probe at the first measuring report.
struct Watcher {
  ProgressDisplay& display;
  uint32_t last_phase = 0;
  NoiseProbe probe;

  static void callback(const tarnwick_progress_t* progress, void* user_data) noexcept {
    // Nothing may leave a callback by exception; a lost frame of the
    // display is harmless.
    try {
      if (progress == nullptr || user_data == nullptr) return;
      auto& watcher = *static_cast<Watcher*>(user_data);
      if (progress->phase < TARNWICK_PHASE_COMPLETED) watcher.last_phase = progress->phase;
      if (progress->phase == TARNWICK_PHASE_MEASUREMENT) watcher.probe.start();
      watcher.display.update(*progress);
    } catch (...) {
    }
  }
};

}  // namespace

RunReport run_once(const tarnwick_config_t& config, const std::string& label,
                   ProgressDisplay& display) {
  RunReport report;
  report.id = new_run_id();
  report.label = label;
  report.started = utc_text(std::chrono::system_clock::now());
  report.result.status = TARNWICK_STATUS_FAILED;
  report.result.benchmark = config.benchmark;

  const HandlePtr handle(tarnwick_create());
  if (!handle) {
    report.reason = "cannot create a benchmark handle";
    return report;
  }
  Watcher watcher{display, 0, {}};
  const auto began = std::chrono::steady_clock::now();
  {
    const Published published(handle.get());
    tarnwick_run(handle.get(), &config, &Watcher::callback, &watcher);
    report.noise = watcher.probe.finish();
    display.clear();
  }
  report.run_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  report.ended = utc_text(std::chrono::system_clock::now());
  report.last_phase = watcher.last_phase;
  // The status comes from the stored record, not the return value: the
  // two agree, and the record also exists for a rejected configuration.
  if (tarnwick_result(handle.get(), &report.result) == 0) {
    report.reason = "the library stored no result";
    return report;
  }
  if (const char* reason = tarnwick_reason(handle.get())) report.reason = reason;
  // Bounded: the count is the library's to report, the memory is ours.
  report.samples.reserve(std::min<uint64_t>(report.result.sample_count, 1u << 20));
  for (uint64_t index = 0; index < report.result.sample_count; ++index) {
    tarnwick_sample_t sample{};
    if (tarnwick_sample(handle.get(), index, &sample) == 0) break;
    report.samples.push_back(sample);
  }
  return report;
}

}  // namespace tarnwick
