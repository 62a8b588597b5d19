// The live progress display: one line on standard error, redrawn in place at
// the library's progress cadence, erased when the run ends.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "tarnwick.h"

namespace tarnwick {

// One line of the display: label, phase, a bar of the whole run, elapsed and
// remaining time of the whole run (planned_seconds long) and the phase's
// rate so far.
[[nodiscard]] std::string progress_line(const tarnwick_progress_t& progress,
                                        const std::string& label, double planned_seconds);

class ProgressDisplay {
 public:
  // Disabled, it never writes: the program uses one either way.
  ProgressDisplay(std::FILE* stream, bool enabled, std::string label, double planned_seconds);
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;
  ~ProgressDisplay();

  void update(const tarnwick_progress_t& progress);
  // Erases the line, if one is shown.
  void clear();

  // The library's callback; user_data is a ProgressDisplay.
  static void callback(const tarnwick_progress_t* progress, void* user_data) noexcept;

 private:
  std::FILE* stream_;
  bool enabled_;
  bool shown_ = false;
  std::string label_;
  double planned_seconds_;
};

}  // namespace tarnwick
