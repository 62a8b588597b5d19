#include "formats/summary.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

#include "document/label.hpp"
#include "document/repetition_summary.hpp"
#include "util/numbers.hpp"
#include "util/sparkline.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

constexpr std::size_t MIDDLE = SPARK_LEVELS / 2;
// Rows are "  name         value": the value starts at this column.
constexpr int VALUE_COLUMN = 15;

std::string row(const std::string& name, const std::string& value) {
  return fmt::format("{:<{}}{}\n", name, VALUE_COLUMN, value);
}

std::string variation_text(const Result& result, const TextStyle& style) {
  if (!result.mean_rate) return "- (only for a completed run)";
  if (!result.cv_percent) return "- (needs at least two samples)";
  return fmt::format("{:.2f} % CV, {}", *result.cv_percent,
                     result.unstable ? style.bad("UNSTABLE (above 10 %)") : style.good("stable"));
}

std::string window_text(const RunReport& run) {
  const Result& result = run.result;
  // Cancelled before the measurement: the window is empty, and what the
  // user wants to know is how far the warm-up got.
  if (result.status == Status::cancelled && result.samples.empty() &&
      run.last_phase != Phase::measurement) {
    return fmt::format("cancelled during the warm-up, after {:.1f} s of {} s", run.run_seconds,
                       short_seconds(result.warmup.count()));
  }
  return fmt::format("{:.3f} s measured of {} s, after a {} s warm-up", result.measured.count(),
                     short_seconds(result.measure.count()), short_seconds(result.warmup.count()));
}

// The host, one fact per line so that each fits. Where a control group's
// quota limits the process, the CPU line says so next to the workers it
// allowed.
std::string host_text(const Session& session) {
  const HostFacts& host = session.host;
  // The architecture beside the model: rates of x86 and Arm machines are
  // comparable, and the summary says which one this was.
  std::string text = host.cpu_model.value_or("unknown CPU");
  if (const auto& arch = session.environment.cpu.arch) text += " (" + *arch + ")";
  text += "\n";
  std::string cpus =
      fmt::format("{} available ({})", plural(host.cpus_available, "CPU"), host.cpus_source);
  if (const auto quota = session.environment.cgroup_cpu_quota) {
    cpus = fmt::format("{:g} CPUs by the control group's quota", *quota);
    cpus += host.cpus_source == "library"
                ? ", " + plural(host.cpus_available, "worker")
                : fmt::format(", {} by affinity", plural(host.cpus_available, "CPU"));
  }
  text += row("", cpus);
  text +=
      row("", "governor " + host.governor.value_or("unknown") + ", " +
                  (host.load_average ? fmt::format("load {:.2f} before the run", *host.load_average)
                                     : std::string("load unknown")));
  return text;
}

bool repeated(const Session& session) {
  return std::any_of(session.runs.begin(), session.runs.end(),
                     [](const RunReport& run) { return run.repetition > 1; });
}

// One line per run, for a session of repetitions.
std::string runs_table(const Session& session, const TextStyle& style) {
  std::string text = fmt::format("tarnwick {} {} {} runs\n", session.version,
                                 style.pick("\u00b7", "-"), session.runs.size());
  text += fmt::format("  {:<4} {:<8} {:>20}  {}\n", "run", "workers", "mean rate", "variation");
  for (const RunReport& run : session.runs) {
    std::string rate;
    if (run.result.mean_rate) {
      rate = grouped(*run.result.mean_rate) + " steps/s";
    } else {
      const std::string_view status = name(run.result.status);
      rate = run.result.status == Status::cancelled ? style.caution(status) : style.bad(status);
    }
    const int pad = 20 - display_width(rate);
    text += fmt::format("  {:<4} {:<8} {:{}}{}  {}\n", run.repetition, run.result.threads, "",
                        std::max(pad, 0), rate,
                        run.result.mean_rate ? variation_text(run.result, style) : std::string());
  }
  return text;
}

std::string spread_text(const RepetitionSummary& summary, const TextStyle& style) {
  const char* dot = style.pick("\u00b7", "-");
  std::string text =
      row(summary.label, fmt::format("median {} steps/s of {}", grouped(summary.median_mean_rate),
                                     plural(summary.runs, "run")));
  text += row("", fmt::format("min {} {} max {} {} spread {:.1f} %", grouped(summary.min_mean_rate),
                              dot, grouped(summary.max_mean_rate), dot, summary.spread_percent));
  if (!summary.outliers.empty()) {
    text += row("", style.caution(fmt::format("far from the others: run {} (robust z beyond 3.5)",
                                              fmt::join(summary.outliers, ", "))));
  }
  return text;
}

std::string precision_text(const PrecisionOutcome& outcome, double target_percent,
                           const TextStyle& style) {
  const char* plus_minus = style.pick("\u00b1", "+-");
  const std::string runs = plural(outcome.runs, "run");
  std::string text;
  if (outcome.runs == 0) {
    text = row(outcome.label, "geometric mean - (no run counted)");
  } else if (!outcome.half_width_percent || !outcome.low || !outcome.high) {
    text = row(outcome.label, fmt::format("geometric mean {} steps/s of {}: no interval below "
                                          "two runs",
                                          grouped(outcome.geometric_mean_rate), runs));
  } else {
    text = row(outcome.label, fmt::format("geometric mean {} steps/s {}{:.2f} % (95 %)",
                                          grouped(outcome.geometric_mean_rate), plus_minus,
                                          *outcome.half_width_percent));
    text += row(
        "", fmt::format("{} to {}, of {}", grouped(*outcome.low), grouped(*outcome.high), runs));
  }
  const std::string asked =
      fmt::format("{}{} % asked: ", plus_minus, short_seconds(target_percent));
  if (outcome.stopped == "reached") {
    text += row("", style.good(asked + "reached"));
  } else if (outcome.stopped == "time limit") {
    text += row("", style.caution(asked + "not reached within the time limit"));
  } else {
    text += row("", style.caution(asked + outcome.stopped));
  }
  if (!outcome.excluded.empty()) {
    text += row("", fmt::format("left out as disturbed: {} {}",
                                agree(outcome.excluded.size(), "run", "runs"),
                                repetitions_text(outcome.excluded)));
  }
  return text;
}

}  // namespace

std::string sparkline(const std::vector<Sample>& samples, double reference, std::size_t max_columns,
                      bool utf8) {
  if (samples.empty() || max_columns == 0) return {};
  const std::size_t per_column = (samples.size() + max_columns - 1) / max_columns;
  std::vector<double> rates;
  for (auto first = samples.begin(); first != samples.end();) {
    const auto last = first + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                  per_column, static_cast<std::size_t>(samples.end() - first)));
    double operations = 0.0;
    double duration = 0.0;
    for (auto it = first; it != last; ++it) {
      operations += static_cast<double>(it->operations);
      duration += it->duration.count();
    }
    rates.push_back(duration > 0.0 ? operations / duration : 0.0);
    first = last;
  }
  if (!(reference > 0.0)) reference = *std::max_element(rates.begin(), rates.end());
  // With no reference every bar is lowest.
  if (!(reference > 0.0)) return sparkline(rates, 1.0, 2.0, utf8);
  // The middle bar at the reference, each step SPARK_STEP of it away.
  const double half = static_cast<double>(MIDDLE) * SPARK_STEP;
  return sparkline(rates, reference * (1.0 - half), reference * (1.0 + half), utf8);
}

std::string run_summary(const RunReport& run, const std::string& version, const TextStyle& style,
                        bool numbered) {
  const Result& result = run.result;
  const char* dot = style.pick("\u00b7", "-");
  std::string status;
  if (result.status == Status::cancelled) {
    status = fmt::format(" {} {}", dot, style.caution("CANCELLED, partial result"));
  }
  std::string repetition;
  if (numbered) repetition = fmt::format(" {} run {}", dot, run.repetition);
  std::string text = wrap_words(
      fmt::format("tarnwick {} {} {}{}{}\n", version, dot, workers_text(run), repetition, status),
      style.wrap, 2);
  const auto row = [&text](const char* name, const std::string& value) {
    text += fmt::format("  {:<12} {}\n", name, value);
  };
  row("mean rate", result.mean_rate ? grouped(*result.mean_rate) + " steps/s"
                                    : std::string("- (only for a completed run)"));
  row("variation", variation_text(result, style));
  row("window", window_text(run));
  row("steps", grouped(static_cast<double>(result.operations)));
  row("samples", fmt::format("{}", result.samples.size()));
  row("checksum", fmt::format("{:#018x}", result.checksum));
  if (!result.samples.empty()) {
    const auto [low, high] =
        std::minmax_element(result.samples.begin(), result.samples.end(),
                            [](const Sample& a, const Sample& b) { return a.rate < b.rate; });
    // The sparkline narrows to the width; its legend gets a row of its own.
    const auto columns =
        static_cast<std::size_t>(std::clamp(style.width - 1 - VALUE_COLUMN, 10, 60));
    row("per second", sparkline(result.samples, reference_rate(run), columns, style.utf8));
    row("", fmt::format("min {} {} max {} steps/s", grouped(low->rate), dot, grouped(high->rate)));
    row("", fmt::format("({} is {}, a step {:.0f} %)", spark_bar(MIDDLE, style.utf8),
                        result.mean_rate ? "the mean" : "the rate so far", SPARK_STEP * 100.0));
  }
  // A row too wide for the terminal continues under its value, at a space.
  return wrap_words(text, style.wrap, VALUE_COLUMN);
}

std::string session_summary(const Session& session, const TextStyle& style) {
  std::string text;
  if (repeated(session)) {
    text = runs_table(session, style);
    for (const RepetitionSummary& summary : summarize_repetitions(session)) {
      text += "\n" + spread_text(summary, style);
    }
  } else {
    for (const RunReport& run : session.runs) {
      // A failed run has nothing to show; its reason goes to standard error.
      if (run.result.status == Status::failed) continue;
      if (!text.empty()) text += "\n";
      text += run_summary(run, session.version, style);
    }
  }
  const std::vector<double> scalings = pair_scalings(session);
  if (!scalings.empty()) {
    const RunReport* multi = nullptr;
    for (const RunReport& run : session.runs) {
      if (run.label == name(Label::all_cpus) && run.result.threads > 0) multi = &run;
    }
    text += fmt::format("\nscaling        {:.3f}  (all-CPUs rate / ({} x single rate);\n",
                        *median_scaling(session), multi != nullptr ? multi->result.threads : 0);
    if (scalings.size() > 1) {
      text += row("", fmt::format("the median of {} pairs: {:.3f};", scalings.size(),
                                  fmt::join(scalings, ", ")));
    }
    text += row("", "1.0 is perfect)");
  }
  if (session.precision) {
    for (const PrecisionOutcome& outcome : session.precision->labels) {
      text += "\n" + precision_text(outcome, session.precision->target_percent, style);
    }
  }
  text += fmt::format("\nhost           {}", host_text(session));
  return wrap_words(text, style.wrap, VALUE_COLUMN);
}

}  // namespace tarnwick
