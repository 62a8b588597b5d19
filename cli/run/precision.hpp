// The course of a --precision command: runs of each label, the first with
// the configured warm-up and the later ones without (the machine is warm),
// until the interval of the label's geometric mean rate is as narrow as
// asked or the time limit leaves no room for another run.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "document/model.hpp"
#include "run/repetitions.hpp"
#include "stats/precision.hpp"

namespace tarnwick {

// Why a label stopped; the names are the document's.
enum class PrecisionStop { reached, time_limit, cancelled, failed };

[[nodiscard]] const char* name(PrecisionStop stop);

// Whether a run counts toward the precision: one disturbed by other work
// (the rule compare leaves runs out by) does not.
[[nodiscard]] bool run_disturbed(const RunReport& run, const HostFacts& host);

// The warnings of a --precision session: a label stopped by the time limit
// says what it reached ("±1.6 % after 9 runs in 600 s; ±1 % asked"), and
// the runs left out as disturbed are named.
[[nodiscard]] std::vector<Warning> precision_warnings(const Session& session);

class PrecisionPlan {
 public:
  // `target_percent`: the half-width asked for, ± % of the geometric mean;
  // `max_seconds`: the command's limit, warm-ups included.
  PrecisionPlan(bool single, bool all_cpus, double target_percent, double max_seconds);

  // The next run, alternating between the labels still going as --repeat
  // does; none once every label has stopped. `elapsed`: seconds since the
  // command's first run began. A run that could not end before the limit
  // is not started: its label stops for the time.
  [[nodiscard]] std::optional<PlannedRun> next(double elapsed, Seconds warmup, Seconds measure);

  // A run of the label `next` gave last, with what it cost in wall time. A
  // disturbed run does not count toward the precision; a run that did not
  // complete stops its label.
  void record(const RunReport& run, bool disturbed, double cost_seconds);

  // Every label still going stops, for this reason (a signal).
  void stop(PrecisionStop why);

  // A warm-up is run only by a label's first run.
  [[nodiscard]] static bool warms_up(const PlannedRun& run) { return run.repetition == 1; }

  // The current half-width of a label, for the progress line.
  [[nodiscard]] std::optional<double> half_width_percent(const std::string& label) const;

  [[nodiscard]] PrecisionReport report(double seconds) const;

 private:
  struct Label {
    std::string name;
    bool all_cpus = false;
    unsigned runs = 0;  // started
    std::vector<double> counted;
    std::vector<unsigned> excluded;
    std::optional<PrecisionState> state;
    std::optional<PrecisionStop> stopped;
  };

  // What a run of `label` is expected to take, from the runs so far.
  [[nodiscard]] double expected_cost(const Label& label, Seconds warmup, Seconds measure) const;

  std::vector<Label> labels_;
  std::size_t turn_ = 0;  // the label whose turn is next
  double target_percent_ = 0;
  double max_seconds_ = 0;
  double overhead_ = 0;  // most wall time a run took beyond its warm-up and window
};

}  // namespace tarnwick
