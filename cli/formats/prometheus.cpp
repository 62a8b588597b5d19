#include "formats/prometheus.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <optional>
#include <vector>

#include "stats/robust.hpp"

namespace tarnwick {
namespace {

// The runs of one label and worker count.
struct Series {
  std::vector<double> rates, cvs, windows;
  unsigned runs = 0;  // completed
  uint32_t worst_status = TARNWICK_STATUS_COMPLETED;
  bool unstable = false;
};

// Shortest text that reads back as the same double; Prometheus spells
// the special values its own way.
std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", value);
}

std::string help_text(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void family(std::string& out, std::string_view name, std::string_view help) {
  out += fmt::format("# HELP {} {}\n# TYPE {} gauge\n", name, help_text(help), name);
}

// "2026-12-07T23:50:01Z" as seconds since the epoch.
std::optional<double> epoch_seconds(const std::string& text) {
  std::tm parts{};
  int year = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
    return std::nullopt;
  }
  parts.tm_year = year - 1900;
  parts.tm_mon -= 1;
  const std::time_t seconds = timegm(&parts);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<double>(seconds);
}

}  // namespace

std::string prometheus_label_value(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string prometheus_text(const Session& session) {
  std::map<std::pair<std::string, uint32_t>, Series> series;
  for (const RunReport& run : session.runs) {
    Series& entry = series[{run.label, run.result.threads}];
    entry.worst_status = std::max(entry.worst_status, run.result.status);
    if (run.result.status != TARNWICK_STATUS_COMPLETED) continue;
    ++entry.runs;
    entry.rates.push_back(run.result.mean_rate);
    if (run.result.has_cv != 0) entry.cvs.push_back(run.result.cv_percent / 100.0);
    entry.windows.push_back(run.result.measured_seconds);
    entry.unstable = entry.unstable || run.result.unstable != 0;
  }
  const auto labels = [](const std::pair<std::string, uint32_t>& key) {
    return fmt::format("{{label=\"{}\",workers=\"{}\"}}", prometheus_label_value(key.first),
                       key.second);
  };
  // Each family with one sample per series that has the figure.
  const auto each = [&](std::string& out, std::string_view name, std::string_view help,
                        auto value_of) {
    std::string samples;
    for (const auto& [key, entry] : series) {
      if (const std::optional<double> value = value_of(entry)) {
        samples += fmt::format("{}{} {}\n", name, labels(key), number(*value));
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
  if (const auto time = epoch_seconds(session.environment.timestamp)) {
    family(out, "tarnwick_run_timestamp_seconds",
           "Start of the benchmark command, in seconds since the Unix epoch.");
    out += fmt::format("tarnwick_run_timestamp_seconds {}\n", number(*time));
  }
  each(out, "tarnwick_steps_per_second",
       "Mean kernel steps per second over the measured window, all workers together; with "
       "repeated runs the median of the completed runs' means.",
       [&](const Series& entry) { return median_or_none(entry.rates); });
  each(out, "tarnwick_runs", "Completed runs behind the figures of this label and worker count.",
       [](const Series& entry) { return std::optional<double>(entry.runs); });
  each(out, "tarnwick_cv_ratio",
       "Coefficient of variation of the per-second rates, as a ratio (median over the runs).",
       [&](const Series& entry) { return median_or_none(entry.cvs); });
  each(out, "tarnwick_unstable", "1 when a completed run's CV was above 0.10, else 0.",
       [](const Series& entry) {
         return entry.runs > 0 ? std::optional<double>(entry.unstable ? 1.0 : 0.0) : std::nullopt;
       });
  each(out, "tarnwick_status", "Worst status of the runs: 0 completed, 1 cancelled, 2 failed.",
       [](const Series& entry) { return std::optional<double>(entry.worst_status); });
  each(out, "tarnwick_measured_seconds",
       "Length of the measured window in seconds (median over the runs).",
       [&](const Series& entry) { return median_or_none(entry.windows); });
  return out;
}

}  // namespace tarnwick
