// The live progress display: one line on standard error, redrawn in place at
// the library's progress cadence, erased when a run ends. The line always
// fits the terminal: as it narrows, the bar shrinks first, then parts are
// dropped in a fixed order, the rate last.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "output/terminal.hpp"
#include "tarnwick.h"

namespace tarnwick {

// Where a run stands in the whole command.
struct RunPosition {
  unsigned index = 1;          // 1-based
  unsigned count = 1;          // runs in the command
  double seconds_after = 0.0;  // planned length of the runs still to come after this one
};

// One line of the display, at most `style.width - 1` columns: run counter
// (with several runs), label, phase, a bar and percentage of this run,
// elapsed and planned time of this run, the time left for the whole
// command, and the phase's rate so far.
[[nodiscard]] std::string progress_line(const tarnwick_progress_t& progress,
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
  void on_first_report(std::function<void(const tarnwick_progress_t&)> action) {
    first_report_ = std::move(action);
  }

  // The run the next reports belong to.
  void begin(std::string label, double planned_seconds, RunPosition position);
  void update(const tarnwick_progress_t& progress);
  // Erases the line, if one is shown.
  void clear();

 private:
  std::FILE* stream_;
  bool enabled_;
  TextStyle style_;
  bool shown_ = false;
  bool width_known_ = false;
  std::string label_;
  double planned_seconds_ = 0.0;
  RunPosition position_;
  std::function<void(const tarnwick_progress_t&)> first_report_;
};

}  // namespace tarnwick
