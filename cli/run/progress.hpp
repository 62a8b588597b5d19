// The live progress display: one line on standard error, redrawn in place at
// the library's progress cadence, erased when a run ends. The line always
// fits the terminal: as it narrows, the bar shrinks first, then parts are
// dropped in a fixed order, the rate last; rows the old line wrapped into
// are erased with it.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "output/terminal.hpp"
#include "tarnwick.hpp"

namespace tarnwick {

// Where a run stands in the whole command.
struct RunPosition {
  unsigned index = 1;  // 1-based
  unsigned count = 1;  // runs in the command; 0: not known in advance (--precision)
  // The planned length of the runs still to come after this one; with
  // count 0, the time left to the limit after this run.
  double seconds_after = 0.0;
  // With count 0: the label's half-width so far, once it has one.
  std::optional<double> half_width_percent;
};

// The phase's rate so far, as the display shows it. It counts from the
// phase's first report, not from its start, and says nothing until a whole
// report interval has passed: the first instants of a phase hold workers
// still starting and a few steps over a millisecond, which showed as
// "0 steps/s" and then a spike.
class PhaseRate {
 public:
  // The rate after this report; none yet in the phase's first interval.
  std::optional<double> update(const Progress& progress);
  // A new run starts: its first report opens a new interval.
  void reset() { phase_.reset(); }

  // The library reports every 0.1 s; an interval shorter than half of that
  // is a phase change's report and measures nothing.
  static constexpr double MIN_INTERVAL = 0.05;

 private:
  std::optional<Phase> phase_;
  double first_elapsed_ = 0.0;
  uint64_t first_operations_ = 0;
  double last_elapsed_ = 0.0;
  uint64_t last_operations_ = 0;
};

// One line of the display, at most `style.width - 1` columns: run counter
// (with several runs), label, phase, a bar and percentage of this run,
// elapsed and planned time of this run, the time left for the whole
// command, and the phase's rate so far ("-" while there is none).
[[nodiscard]] std::string progress_line(const Progress& progress, std::optional<double> rate,
                                        const std::string& label, double planned_seconds,
                                        const RunPosition& position, const TextStyle& style);

class ProgressDisplay {
 public:
  // Disabled, it never writes, but still reports the first progress.
  ProgressDisplay(std::FILE* stream, bool enabled, TextStyle style);
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;
  ~ProgressDisplay();

  // Called once, at the command's first progress report: the run has
  // started, so what is printed then concerns a run that really runs.
  void on_first_report(std::function<void(const Progress&)> action) {
    first_report_ = std::move(action);
  }

  // The run the next reports belong to.
  void begin(std::string label, double planned_seconds, RunPosition position);
  void update(const Progress& progress);
  // Erases the line, if one is shown.
  void clear();

  // What draws `line` over the one before, `shown_columns` wide, on a
  // terminal now `style.width` wide. The rows the old line wraps into after
  // the terminal narrowed are erased with it; without escapes (TERM=dumb)
  // blanks cover the old line instead, as far as the width allows.
  [[nodiscard]] static std::string frame(const std::string& line, int shown_columns,
                                         const TextStyle& style);

 private:
  void refresh_width();

  std::FILE* stream_;
  bool enabled_;
  TextStyle style_;
  bool shown_ = false;
  int shown_columns_ = 0;
  PhaseRate rate_;
  bool width_known_ = false;
  std::string label_;
  double planned_seconds_ = 0.0;
  RunPosition position_;
  std::function<void(const Progress&)> first_report_;
};

}  // namespace tarnwick
