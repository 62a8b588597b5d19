#include "formats/prometheus.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "document/repetition_summary.hpp"
#include "stats/robust.hpp"
#include "util/json.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {
namespace {

// The runs of one label; its rates' median and count are the repetition
// summary's, so that every output gives the same figure.
struct Series {
  uint32_t workers = 0;
  std::optional<RepetitionSummary> summary;
  std::vector<double> cvs, windows;
  Status worst_status = Status::completed;
  bool unstable = false;
};

// Shortest text that reads back as the same double; Prometheus spells
// the special values its own way.
std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", value);
}

// Backslash and newline escaped, as the text format wants in help texts;
// in label values (`quoted`) the double quote too.
std::string escaped(std::string_view text, bool quoted) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '\n' || (quoted && c == '"')) out += '\\';
    out += c == '\n' ? 'n' : c;
  }
  return out;
}

void family(std::string& out, std::string_view name, std::string_view help) {
  out += fmt::format("# HELP {} {}\n# TYPE {} gauge\n", name, escaped(help, false), name);
}

}  // namespace

std::string prometheus_label_value(std::string_view raw) {
  // Label values must be UTF-8: bad bytes become U+FFFD, as in the document.
  return escaped(valid_utf8(raw), true);
}

std::string prometheus_text(const Session& session) {
  std::map<std::string, Series> series;
  for (const RunReport& run : session.runs) {
    Series& entry = series[run.label];
    entry.worst_status = std::max(entry.worst_status, run.result.status);
    entry.workers = run.result.threads;
    if (!run.result.mean_rate) continue;
    if (run.result.cv_percent) entry.cvs.push_back(*run.result.cv_percent / 100.0);
    entry.windows.push_back(run.result.measured.count());
    entry.unstable = entry.unstable || run.result.unstable;
  }
  for (RepetitionSummary& summary : summarize_repetitions(session)) {
    Series& entry = series[summary.label];
    entry.workers = summary.threads;
    entry.summary = std::move(summary);
  }
  const auto labels = [](const std::string& label, uint32_t workers) {
    return fmt::format(R"({{label="{}",workers="{}"}})", prometheus_label_value(label), workers);
  };
  // Each family with one sample per series that has the figure.
  const auto each = [&](std::string& out, std::string_view name, std::string_view help,
                        auto value_of) {
    std::string samples;
    for (const auto& [key, entry] : series) {
      if (const std::optional<double> value = value_of(entry)) {
        samples += fmt::format("{}{} {}\n", name, labels(key, entry.workers), number(*value));
      }
    }
    if (samples.empty()) return;
    family(out, name, help);
    out += samples;
  };
  const auto median_or_none = [](const std::vector<double>& values) -> std::optional<double> {
    if (values.empty()) return std::nullopt;
    return median(values);
  };

  std::string out;
  family(out, "tarnwick_info",
         "The run's library version, CPU model and architecture; the value is always 1.");
  const CpuFacts& cpu = session.environment.cpu;
  out += fmt::format(
      "tarnwick_info{{version=\"{}\",cpu_model=\"{}\",arch=\"{}\"}} 1\n",
      prometheus_label_value(session.version),
      prometheus_label_value(cpu.model.value_or(session.host.cpu_model.value_or("unknown"))),
      prometheus_label_value(cpu.arch.value_or("unknown")));
  if (const auto time = parse_utc(session.environment.timestamp)) {
    family(out, "tarnwick_run_timestamp_seconds",
           "Start of the benchmark command, in seconds since the Unix epoch.");
    out += fmt::format("tarnwick_run_timestamp_seconds {}\n",
                       number(static_cast<double>(*time) / 1000.0));
  }
  each(out, "tarnwick_steps_per_second",
       "Mean kernel steps per second over the measured window, all workers together; with "
       "repeated runs the median of the completed runs' means.",
       [](const Series& entry) {
         return entry.summary ? std::optional<double>(entry.summary->median_mean_rate)
                              : std::nullopt;
       });
  each(out, "tarnwick_runs", "Completed runs behind the figures of this label and worker count.",
       [](const Series& entry) {
         return std::optional<double>(entry.summary ? entry.summary->runs : 0);
       });
  each(out, "tarnwick_cv_ratio",
       "Coefficient of variation of the per-second rates, as a ratio (median over the runs).",
       [&](const Series& entry) { return median_or_none(entry.cvs); });
  each(out, "tarnwick_unstable", "1 when a completed run's CV was above 0.10, else 0.",
       [](const Series& entry) {
         return entry.summary ? std::optional<double>(entry.unstable ? 1.0 : 0.0) : std::nullopt;
       });
  each(out, "tarnwick_status", "Worst status of the runs: 0 completed, 1 cancelled, 2 failed.",
       [](const Series& entry) {
         return std::optional<double>(static_cast<uint32_t>(entry.worst_status));
       });
  each(out, "tarnwick_measured_seconds",
       "Length of the measured window in seconds (median over the runs).",
       [&](const Series& entry) { return median_or_none(entry.windows); });
  return out;
}

}  // namespace tarnwick
