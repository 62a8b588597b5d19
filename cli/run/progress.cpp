#include "run/progress.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "formats/numbers.hpp"

namespace tarnwick {
namespace {

constexpr int BAR_WIDTH = 24;

const char* phase_name(uint32_t phase) {
  switch (phase) {
    case TARNWICK_PHASE_WARMUP:
      return "warm-up";
    case TARNWICK_PHASE_MEASUREMENT:
      return "measuring";
    case TARNWICK_PHASE_COMPLETED:
      return "completed";
    case TARNWICK_PHASE_CANCELLED:
      return "cancelled";
    case TARNWICK_PHASE_FAILED:
      return "failed";
    default:
      return "?";
  }
}

std::string bar(double fraction) {
  const int filled = static_cast<int>(std::lround(fraction * BAR_WIDTH));
  std::string text;
  for (int cell = 0; cell < BAR_WIDTH; ++cell) text += cell < filled ? "\u2588" : "\u2591";
  return text;
}

}  // namespace

std::string progress_line(const tarnwick_progress_t& progress, const std::string& label,
                          double planned_seconds) {
  // NaN lands on 0: a display must never fail on odd input.
  const double fraction =
      std::clamp(std::isnan(progress.progress) ? 0.0 : progress.progress, 0.0, 1.0);
  const double elapsed = fraction * planned_seconds;
  std::string rate = "-";
  if (progress.phase_elapsed > 0.0) {
    rate = grouped(static_cast<double>(progress.operations) / progress.phase_elapsed);
  }
  // Whole seconds say nothing about a run shorter than a minute.
  const auto time = [planned_seconds](double seconds) {
    if (planned_seconds < 60.0) return fmt::format("{:.1f} s", std::max(seconds, 0.0));
    return clock_time(seconds);
  };
  return fmt::format("{} {:<9} {} {:>3.0f}%  {} / {}  left {}  {} steps/s", label,
                     phase_name(progress.phase), bar(fraction), fraction * 100.0, time(elapsed),
                     time(planned_seconds), time(planned_seconds - elapsed), rate);
}

ProgressDisplay::ProgressDisplay(std::FILE* stream, bool enabled, std::string label,
                                 double planned_seconds)
    : stream_(stream),
      enabled_(enabled),
      label_(std::move(label)),
      planned_seconds_(planned_seconds) {}

ProgressDisplay::~ProgressDisplay() { clear(); }

void ProgressDisplay::update(const tarnwick_progress_t& progress) {
  if (!enabled_) return;
  if (progress.phase >= TARNWICK_PHASE_COMPLETED) {
    clear();
    return;
  }
  // \r and erase-to-end keep it one line however its width changes.
  fmt::print(stream_, "\r{}\x1b[K", progress_line(progress, label_, planned_seconds_));
  std::fflush(stream_);
  shown_ = true;
}

void ProgressDisplay::clear() {
  if (!shown_) return;
  shown_ = false;
  std::fputs("\r\x1b[K", stream_);
  std::fflush(stream_);
}

void ProgressDisplay::callback(const tarnwick_progress_t* progress, void* user_data) noexcept {
  // Nothing may leave a callback by exception; a lost frame of the display
  // is harmless.
  try {
    if (progress != nullptr && user_data != nullptr) {
      static_cast<ProgressDisplay*>(user_data)->update(*progress);
    }
  } catch (...) {
  }
}

}  // namespace tarnwick
