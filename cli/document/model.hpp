// What the program keeps of a session: each run's result as the library's
// C++ interface gives it (a mean only when completed, a CV only where
// there is one), with the facts it is judged by. Every output (summary, JSON,
// CSV, chart) reads this model.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "environment/environment.hpp"
#include "environment/host_facts.hpp"
#include "environment/noise.hpp"
#include "tarnwick.hpp"

namespace tarnwick {

struct RunReport {
  std::string id;              // 32 lower-case hex digits, random: unique across machines
  std::string label;           // "single" or "all-cpus"
  unsigned repetition = 1;     // 1-based index among the session's runs of this label
  std::string started;         // UTC, ISO 8601 with milliseconds
  std::string ended;           // same; empty until the run returned
  Result result;               // with its reason and samples; failed until the library answered
  std::optional<Noise> noise;  // absent when it could not be measured
  // What competed during each sample, beside result.samples; empty when
  // nothing was read, an entry absent where no two readings bracket it.
  std::vector<std::optional<SecondNoise>> sample_noise;
  // The samples (0-based) past the disturbance thresholds, in order.
  std::vector<std::size_t> disturbed_samples;
  // How far the run got: the phase of its last warm-up or measurement
  // report (none: none came) and the wall time the library took, warm-up
  // included.
  std::optional<Phase> last_phase;
  double run_seconds = 0.0;
};

// A warning is a value: the terminal and the document show the same one.
struct Warning {
  std::string run_id;  // the run it concerns; empty: the whole command
  std::string kind;    // short and stable, for machines ("load", "unstable")
  std::string text;    // for people
};

// What a --precision command reached for one label: the geometric mean of
// its counted runs' rates with the interval its stopping rule justifies.
struct PrecisionOutcome {
  std::string label;
  std::string stopped;             // "reached", "time limit", "cancelled" or "failed"
  std::size_t runs = 0;            // runs counted
  std::size_t runs_needed = 0;     // what the rule asked for; 0 before its first stage
  std::vector<unsigned> excluded;  // repetitions left out as disturbed
  double geometric_mean_rate = 0;  // 0 without a counted run
  std::optional<double> low;       // the interval; none below two counted runs
  std::optional<double> high;
  std::optional<double> half_width_percent;
};

// "3", "3 and 5", "1 to 4, 7 and 9": repetitions in order, runs of
// consecutive ones as ranges.
[[nodiscard]] std::string repetitions_text(const std::vector<unsigned>& repetitions);

struct PrecisionReport {
  double target_percent = 0;  // ± asked, % of the geometric mean
  double max_seconds = 0;     // the command's limit, warm-ups included
  double seconds = 0;         // the command's time in runs
  std::vector<PrecisionOutcome> labels;
};

struct Session {
  std::string version;  // the loaded library's version text
  int abi_version = 0;  // the loaded library's interface version
  Environment environment;
  HostFacts host;
  std::vector<RunReport> runs;
  std::vector<Warning> warnings;
  std::optional<PrecisionReport> precision;  // with --precision only
};

// multi rate / (threads x single rate), when both runs completed.
[[nodiscard]] std::optional<double> scaling(const RunReport& single, const RunReport& multi);

// The runs' overall rate when the library gives no mean (a cancelled run):
// for display only, never reported as the run's mean.
[[nodiscard]] double reference_rate(const RunReport& run);

// "1 worker", or "all CPUs, 4 workers" for an all-CPUs run.
[[nodiscard]] std::string workers_text(const RunReport& run);

// The session's status: failed when a run failed, else cancelled when one
// was cancelled, else completed.
[[nodiscard]] Status session_status(const Session& session);

// The exit status of that status: 0, 1 (cancelled) or 2 (failed).
[[nodiscard]] int exit_status(const Session& session);

}  // namespace tarnwick
