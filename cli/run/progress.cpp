#include "run/progress.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>
#include <utility>

#include "run/signals.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

constexpr int BAR_WIDTH = 24;
constexpr int MIN_BAR_WIDTH = 6;

// The library's name for each phase, but for the measurement: the line
// says what is happening now, "measuring".
std::string_view phase_word(Phase phase) {
  return phase == Phase::measurement ? std::string_view("measuring") : name(phase);
}

std::string bar(double fraction, int width, const TextStyle& style) {
  const int filled = static_cast<int>(std::lround(fraction * width));
  std::string text;
  for (int cell = 0; cell < width; ++cell) {
    text += cell < filled ? style.pick("\u2588", "#") : style.pick("\u2591", "-");
  }
  return text;
}

// The parts, in the order they are dropped when the line is too wide.
enum Part { BAR, TIMES, PERCENT, LABEL, PHASE, COUNTER, LEFT, WIDTH, RATE, PARTS };

}  // namespace

std::optional<double> PhaseRate::update(const Progress& progress) {
  const double elapsed = progress.phase_elapsed.count();
  // A new phase, or figures that went back: this report opens the interval.
  const bool opens = progress.phase != phase_ || !(elapsed >= last_elapsed_) ||
                     progress.operations < last_operations_;
  last_elapsed_ = elapsed;
  last_operations_ = progress.operations;
  if (opens) {
    phase_ = progress.phase;
    first_elapsed_ = elapsed;
    first_operations_ = progress.operations;
    return std::nullopt;
  }
  const double interval = elapsed - first_elapsed_;
  if (!(interval >= MIN_INTERVAL)) return std::nullopt;
  return static_cast<double>(progress.operations - first_operations_) / interval;
}

std::string progress_line(const Progress& progress, std::optional<double> rate,
                          const std::string& label, double planned_seconds,
                          const RunPosition& position, const TextStyle& style) {
  // NaN lands on 0: a display must never fail on odd input.
  const double fraction =
      std::clamp(std::isnan(progress.progress) ? 0.0 : progress.progress, 0.0, 1.0);
  const double elapsed = fraction * planned_seconds;
  const double left = planned_seconds - elapsed + std::max(position.seconds_after, 0.0);
  // Whole seconds say nothing about a command shorter than a minute.
  const bool short_command = planned_seconds + position.seconds_after < 60.0;
  const auto time = [short_command](double seconds) {
    if (short_command) return fmt::format("{:.1f} s", std::max(seconds, 0.0));
    return clock_time(seconds);
  };

  std::array<std::string, PARTS> parts;
  const bool open_ended = position.count == 0;
  if (position.count > 1) parts[COUNTER] = fmt::format("{}/{}", position.index, position.count);
  if (open_ended) {
    parts[COUNTER] = fmt::format("run {}", position.index);
    parts[WIDTH] =
        position.half_width_percent
            ? fmt::format("{}{:.2f} %", style.pick("\u00b1", "+-"), *position.half_width_percent)
            : style.pick("\u00b1", "+-") + std::string("- %");
  }
  parts[LABEL] = label;
  parts[PHASE] = fmt::format("{:<9}", phase_word(progress.phase));
  parts[PERCENT] = fmt::format("{:>3.0f}%", fraction * 100.0);
  parts[TIMES] = fmt::format("{} / {}", time(elapsed), time(planned_seconds));
  // Open-ended, the time left is the limit's: an upper bound.
  parts[LEFT] =
      (open_ended ? style.pick("left \u2264 ", "left <= ") : std::string("left ")) + time(left);
  parts[RATE] = (rate ? grouped(*rate) : std::string("-")) + " steps/s";

  // The last column stays free: writing it makes some terminals wrap. So do
  // two more, for the "^C" a terminal echoes after the line: had it wrapped,
  // the line's last frame could not be found to be erased.
  const int room = std::max(style.width - 3, 1);
  const auto compose = [&](int bar_width) {
    std::string line;
    const auto add = [&line](const std::string& text, const char* gap) {
      if (text.empty()) return;
      if (!line.empty()) line += gap;
      line += text;
    };
    for (const Part part : {COUNTER, LABEL, PHASE}) add(parts[part], " ");
    if (bar_width > 0) add(bar(fraction, bar_width, style), " ");
    add(parts[PERCENT], " ");
    for (const Part part : {TIMES, LEFT, WIDTH, RATE}) add(parts[part], "  ");
    return line;
  };
  int bar_width = BAR_WIDTH;
  std::string line = compose(bar_width);
  for (int dropped = BAR; display_width(line) > room && dropped < PARTS; ++dropped) {
    if (dropped == BAR) {
      // Narrowed to fit, or gone when that would leave less than its least.
      const int narrowed = bar_width - (display_width(line) - room);
      bar_width = narrowed >= MIN_BAR_WIDTH ? narrowed : 0;
    } else {
      parts[static_cast<std::size_t>(dropped)].clear();
    }
    line = compose(bar_width);
  }
  // Narrower than the rate alone: cut it, every character is one column.
  if (display_width(line) > room) line = parts[RATE].substr(0, static_cast<std::size_t>(room));
  // The phase is padded for steadiness; trailing blanks serve nothing.
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

ProgressDisplay::ProgressDisplay(std::FILE* stream, bool enabled, TextStyle style)
    : stream_(stream), enabled_(enabled), style_(style) {}

ProgressDisplay::~ProgressDisplay() { clear(); }

void ProgressDisplay::begin(std::string label, double planned_seconds, RunPosition position) {
  label_ = std::move(label);
  planned_seconds_ = planned_seconds;
  position_ = position;
  rate_.reset();
}

std::string ProgressDisplay::frame(const std::string& line, int shown_columns,
                                   const TextStyle& style) {
  if (!style.escapes) {
    const int cover = std::min(shown_columns, std::max(style.width - 1, 0));
    return "\r" + line +
           std::string(static_cast<std::size_t>(std::max(cover - display_width(line), 0)), ' ') +
           "\r";
  }
  // The cursor waits after the line. A terminal that narrowed has wrapped
  // that line into rows, the cursor following its end: each of them is
  // erased on the way up to the first. Erasing line by line, not to the end
  // of the screen: tmux keeps a screen erased from its top in the scrollback.
  const int rows_above = shown_columns > 0 ? (shown_columns - 1) / std::max(style.width, 1) : 0;
  std::string text = "\r";
  if (rows_above > 0) {
    text += "\x1b[2K";
    for (int row = 0; row < rows_above; ++row) text += "\x1b[A\x1b[2K";
  }
  return text + line + "\x1b[K";
}

void ProgressDisplay::refresh_width() {
  if (terminal_resized() || !width_known_) {
    const int width = terminal_width(stream_);
    if (width > 0) style_.width = width;
    width_known_ = true;
  }
}

void ProgressDisplay::update(const Progress& progress) {
  const bool ended = progress.phase != Phase::warmup && progress.phase != Phase::measurement;
  if (first_report_ && !ended) {
    clear();
    std::exchange(first_report_, nullptr)(progress);
  }
  const std::optional<double> rate = rate_.update(progress);
  if (!enabled_) return;
  if (ended) {
    clear();
    return;
  }
  refresh_width();
  const std::string line =
      progress_line(progress, rate, label_, planned_seconds_, position_, style_);
  // Never throws on a full or closed stream: the run goes on regardless.
  std::fputs(frame(line, shown_columns_, style_).c_str(), stream_);
  std::fflush(stream_);
  shown_ = true;
  shown_columns_ = display_width(line);
}

void ProgressDisplay::clear() {
  if (!shown_) return;
  shown_ = false;
  refresh_width();
  std::fputs(frame("", shown_columns_, style_).c_str(), stream_);
  std::fflush(stream_);
  shown_columns_ = 0;
}

}  // namespace tarnwick
