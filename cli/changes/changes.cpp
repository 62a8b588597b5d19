#include "changes/changes.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <thread>

#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// 1234567890 -> "1.235 G": rates as the page and the terminal show them.
std::string short_rate(double rate) {
  static constexpr std::pair<double, const char*> UNITS[] = {
      {1e12, "T"}, {1e9, "G"}, {1e6, "M"}, {1e3, "k"}};
  for (const auto& [scale, unit] : UNITS) {
    if (std::fabs(rate) >= scale) return fmt::format("{:.4g} {}", rate / scale, unit);
  }
  return fmt::format("{:.4g}", rate);
}

std::string signed_percent(double percent) {
  return fmt::format("{}{:.1f} %", percent < 0 ? "-" : "+", std::fabs(percent));
}

}  // namespace

std::string series_name(const RunKey& key) {
  return fmt::format("{} · {} · {} · {}", key.host.empty() ? "(unknown host)" : printable(key.host),
                     printable(key.label), plural(key.threads, "worker"),
                     printable(key.library_version));
}

std::vector<RunSeries> series_of(const std::vector<ListedRun>& runs,
                                 std::optional<UtcMillis> since) {
  std::vector<RunSeries> series;
  std::map<RunKey, std::size_t> index;
  for (const ListedRun& run : runs) {
    if (since) {
      // A start the history could not read is kept: leaving it out would
      // hide a run the user did not ask to leave out.
      const auto started = parse_utc(run.started);
      if (started && *started < *since) continue;
    }
    if (!run.mean_rate || !std::isfinite(*run.mean_rate)) continue;
    // Runs of one host on two CPU models under one name are two series,
    // however their starts interleave.
    RunKey key = run_key(run);
    const auto [at, added] = index.try_emplace(key, series.size());
    if (added) series.push_back({std::move(key), {}, {}});
    series[at->second].runs.push_back(run);
  }
  return series;
}

void find_changes(std::vector<RunSeries>& series, const ChangePointOptions& options,
                  unsigned threads) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, series.size()));
  // Series are independent and each one's answer depends on it alone, so
  // workers take the next one as they free up.
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < series.size(); i = next++) {
      RunSeries& one = series[i];
      std::vector<double> means;
      means.reserve(one.runs.size());
      for (const ListedRun& run : one.runs) means.push_back(*run.mean_rate);
      one.changes = describe_changes(means, change_points(means, options));
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
}

std::vector<FoundChange> large_changes(const std::vector<RunSeries>& series, double min_percent) {
  std::vector<FoundChange> found;
  for (const RunSeries& one : series) {
    for (const Change& change : one.changes) {
      // A level of 0 has no percentage to give: nothing to report against.
      if (!std::isfinite(change.change_percent)) continue;
      if (std::fabs(change.change_percent) >= min_percent) found.push_back({&one, change});
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const FoundChange& a, const FoundChange& b) {
    return a.first_run().started < b.first_run().started;
  });
  return found;
}

std::vector<FoundChange> failing_changes(const std::vector<FoundChange>& changes, double percent,
                                         bool either, std::size_t last) {
  std::vector<FoundChange> failing;
  for (const FoundChange& found : changes) {
    const double size =
        either ? std::fabs(found.change.change_percent) : -found.change.change_percent;
    if (size >= percent && found.runs_since() <= last) failing.push_back(found);
  }
  return failing;
}

nlohmann::ordered_json changes_json(const ChangesSummary& summary,
                                    const std::vector<FoundChange>& changes) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const FoundChange& found : changes) {
    const RunKey& key = found.series->key;
    list.push_back({{"host", or_null(!key.host.empty(), key.host)},
                    {"label", key.label},
                    {"threads", key.threads},
                    {"library_version", key.library_version},
                    {"run_id", found.first_run().id},
                    {"started", found.first_run().started},
                    {"median_before", found.change.median_before},
                    {"median_after", found.change.median_after},
                    {"change_percent", found.change.change_percent},
                    {"p_value", found.change.p_value}});
  }
  return {{"schema_version", 1},
          {"program", "tarnwick"},
          {"command", "history --changes"},
          {"history", summary.history},
          {"series", summary.series},
          {"runs", summary.runs},
          {"min_change_percent", summary.min_change_percent},
          {"alpha", summary.options.alpha},
          {"min_segment", summary.options.min_segment},
          {"changes", std::move(list)}};
}

std::string changes_text(const ChangesSummary& summary, const std::vector<FoundChange>& changes) {
  std::string text =
      fmt::format("{} of {} % or more in {} series ({} completed runs)\nof {}\n",
                  changes.empty() ? std::string("No changes") : plural(changes.size(), "change"),
                  fmt::format("{:g}", summary.min_change_percent), summary.series,
                  grouped(static_cast<double>(summary.runs)), printable(summary.history));
  for (const FoundChange& found : changes) {
    const ListedRun& run = found.first_run();
    text += fmt::format("\n{}\n", first_characters(series_name(found.series->key), 78));
    text +=
        fmt::format("  {}  {} -> {} /s  p = {:.3f}\n", signed_percent(found.change.change_percent),
                    short_rate(found.change.median_before), short_rate(found.change.median_after),
                    found.change.p_value);
    text += fmt::format("  from run {} at {} (the latest {})\n", run.id.substr(0, 12), run.started,
                        plural(found.runs_since(), "run"));
  }
  return text;
}

}  // namespace tarnwick
