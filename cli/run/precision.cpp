#include "run/precision.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "stats/disturbance.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// What a run costs beyond its warm-up and window before one has been seen:
// a handle, the workers' start and the readings around the run.
constexpr double FIRST_OVERHEAD = 0.25;

}  // namespace

const char* name(PrecisionStop stop) {
  switch (stop) {
    case PrecisionStop::reached:
      return "reached";
    case PrecisionStop::time_limit:
      return "time limit";
    case PrecisionStop::cancelled:
      return "cancelled";
    case PrecisionStop::failed:
      return "failed";
  }
  return "unknown";
}

bool run_disturbed(const RunReport& run, const HostFacts& host) {
  if (!run.noise) return false;
  return judge_disturbance(run.noise->other_cpus, run.noise->steal_percent,
                           static_cast<double>(host.cpus_available),
                           static_cast<double>(run.result.threads), run.noise->in_container)
      .disturbed();
}

std::vector<Warning> precision_warnings(const Session& session) {
  std::vector<Warning> warnings;
  if (!session.precision) return warnings;
  const PrecisionReport& report = *session.precision;
  const bool several = report.labels.size() > 1;
  for (const PrecisionOutcome& outcome : report.labels) {
    const std::string who = several ? outcome.label + ": " : std::string();
    if (!outcome.excluded.empty()) {
      warnings.push_back(
          {"", "disturbed",
           fmt::format("{} {} {} left out of the precision: other work competed for the CPUs",
                       outcome.label, agree(outcome.excluded.size(), "run", "runs"),
                       repetitions_text(outcome.excluded))});
    }
    if (outcome.stopped != name(PrecisionStop::time_limit)) continue;
    const std::string reached =
        outcome.half_width_percent
            ? fmt::format("±{:.2g} % after {}", *outcome.half_width_percent,
                          plural(outcome.runs, "run"))
            : fmt::format("no interval after {} (two at least)", plural(outcome.runs, "run"));
    warnings.push_back({"", "precision",
                        fmt::format("{}{} in {} s; ±{} % asked", who, reached,
                                    short_seconds(std::round(report.seconds)),
                                    short_seconds(report.target_percent))});
  }
  return warnings;
}

PrecisionPlan::PrecisionPlan(bool single, bool all_cpus, double target_percent, double max_seconds)
    : target_percent_(target_percent), max_seconds_(max_seconds), overhead_(FIRST_OVERHEAD) {
  if (single) labels_.push_back({"single", false, 0, {}, {}, {}, {}});
  if (all_cpus) labels_.push_back({"all-cpus", true, 0, {}, {}, {}, {}});
}

double PrecisionPlan::expected_cost(const Label& label, Seconds warmup, Seconds measure) const {
  const double warm = label.runs == 0 ? std::max(warmup.count(), 0.0) : 0.0;
  return warm + std::max(measure.count(), 0.0) + overhead_;
}

std::optional<PlannedRun> PrecisionPlan::next(double elapsed, Seconds warmup, Seconds measure) {
  for (std::size_t tried = 0; tried < labels_.size(); ++tried) {
    Label& label = labels_[(turn_ + tried) % labels_.size()];
    if (label.stopped) continue;
    if (elapsed + expected_cost(label, warmup, measure) > max_seconds_) {
      label.stopped = PrecisionStop::time_limit;
      continue;
    }
    turn_ = (turn_ + tried + 1) % labels_.size();
    ++label.runs;
    return PlannedRun{label.name, label.all_cpus, label.runs};
  }
  return std::nullopt;
}

void PrecisionPlan::record(const RunReport& run, bool disturbed, double cost_seconds) {
  const auto found = std::find_if(labels_.begin(), labels_.end(),
                                  [&run](const Label& label) { return label.name == run.label; });
  if (found == labels_.end()) return;
  Label& label = *found;
  const double planned = run.result.warmup.count() + run.result.measure.count();
  if (std::isfinite(planned)) overhead_ = std::max(overhead_, cost_seconds - planned);
  if (run.result.status != Status::completed || !run.result.mean_rate) {
    label.stopped =
        run.result.status == Status::cancelled ? PrecisionStop::cancelled : PrecisionStop::failed;
    return;
  }
  if (disturbed) {
    label.excluded.push_back(run.repetition);
    return;
  }
  label.counted.push_back(*run.result.mean_rate);
  label.state = precision_state(label.counted, target_percent_ / 100);
  if (label.state && label.state->reached) label.stopped = PrecisionStop::reached;
}

void PrecisionPlan::stop(PrecisionStop why) {
  for (Label& label : labels_) {
    if (!label.stopped) label.stopped = why;
  }
}

std::optional<double> PrecisionPlan::half_width_percent(const std::string& label) const {
  for (const Label& candidate : labels_) {
    if (candidate.name == label && candidate.state && candidate.state->half_width) {
      return *candidate.state->half_width * 100;
    }
  }
  return std::nullopt;
}

PrecisionReport PrecisionPlan::report(double seconds) const {
  PrecisionReport report;
  report.target_percent = target_percent_;
  report.max_seconds = max_seconds_;
  report.seconds = seconds;
  for (const Label& label : labels_) {
    PrecisionOutcome outcome;
    outcome.label = label.name;
    outcome.stopped = name(label.stopped.value_or(PrecisionStop::cancelled));
    outcome.excluded = label.excluded;
    if (label.state) {
      outcome.runs = label.state->runs;
      outcome.runs_needed = label.state->runs_needed;
      outcome.geometric_mean_rate = label.state->geometric_mean;
      outcome.low = label.state->low;
      outcome.high = label.state->high;
      if (label.state->half_width) outcome.half_width_percent = *label.state->half_width * 100;
    }
    report.labels.push_back(std::move(outcome));
  }
  return report;
}

}  // namespace tarnwick
