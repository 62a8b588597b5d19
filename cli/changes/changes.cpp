#include "changes/changes.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <set>
#include <thread>

#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

bool large(double percent, double min_percent) {
  // A level of 0 has no percentage to give: nothing to report against.
  return std::isfinite(percent) && std::fabs(percent) >= min_percent;
}

std::size_t needed(const ChangePointOptions& options) { return runs_needed(options.min_segment); }

}  // namespace

std::string short_rate(double rate) {
  if (!std::isfinite(rate)) return "-";
  static constexpr std::pair<double, const char*> UNITS[] = {
      {1e12, "T"}, {1e9, "G"}, {1e6, "M"}, {1e3, "k"}};
  // Rounded first, so that 999,996 is "1.000 M", not "1000. k".
  const double shown = std::stod(fmt::format("{:.4g}", rate));
  for (const auto& [scale, unit] : UNITS) {
    if (std::fabs(shown) >= scale) return fmt::format("{:#.4g} {}", shown / scale, unit);
  }
  return fmt::format("{:#.4g}", shown);
}

std::string signed_percent(double percent) {
  const std::string digits = fmt::format("{:.1f}", std::fabs(percent));
  // -0.04 is shown as 0.0 without a sign it does not have at this precision.
  if (digits == "0.0") return "0.0 %";
  return fmt::format("{}{} %", percent < 0 ? "-" : "+", digits);
}

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
    if (added) {
      RunSeries one;
      one.key = std::move(key);
      series.push_back(std::move(one));
    }
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
      one.judged = one.runs.size() >= needed(options);
      one.changes.clear();
      one.found = {};
      if (!one.judged) continue;
      std::vector<double> means;
      means.reserve(one.runs.size());
      for (const ListedRun& run : one.runs) means.push_back(*run.mean_rate);
      one.changes = describe_changes(means, change_points(means, options));
      one.found = shifts_and_episodes(means, one.changes);
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
}

FoundChanges large_changes(const std::vector<RunSeries>& series, double min_percent) {
  FoundChanges found;
  for (const RunSeries& one : series) {
    if (!one.judged) {
      found.not_judged.push_back(&one);
      continue;
    }
    for (const Shift& shift : one.found.shifts) {
      if (large(shift.change_percent, min_percent)) found.shifts.push_back({&one, shift});
    }
    for (const Episode& episode : one.found.episodes) {
      if (large(episode.change_percent, min_percent)) found.episodes.push_back({&one, episode});
    }
  }
  return found;
}

std::vector<FoundShift> failing_shifts(const std::vector<FoundShift>& shifts, double percent,
                                       bool either, std::size_t last) {
  std::vector<FoundShift> failing;
  for (const FoundShift& found : shifts) {
    const double size =
        either ? std::fabs(found.shift.change_percent) : -found.shift.change_percent;
    if (size >= percent && (found.runs_since() <= last || found.shift.ongoing)) {
      failing.push_back(found);
    }
  }
  return failing;
}

nlohmann::ordered_json series_changes_json(const RunSeries& series, double min_percent) {
  const auto& runs = series.runs;
  nlohmann::ordered_json shifts = nlohmann::ordered_json::array();
  nlohmann::ordered_json episodes = nlohmann::ordered_json::array();
  for (const Shift& shift : series.found.shifts) {
    if (!large(shift.change_percent, min_percent)) continue;
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const Change& step : shift.steps) {
      steps.push_back({{"run_id", runs[step.index].id},
                       {"started", runs[step.index].started},
                       {"median_before", step.median_before},
                       {"median_after", step.median_after},
                       {"change_percent", step.change_percent},
                       {"p_value", step.p_value}});
    }
    shifts.push_back({{"start_run_id", runs[shift.first].id},
                      {"start", runs[shift.first].started},
                      {"end_run_id", runs[shift.last].id},
                      {"end", runs[shift.last].started},
                      {"runs_since_end", runs.size() - shift.last},
                      {"ongoing", shift.ongoing},
                      {"level_before", shift.level_before},
                      {"level_after", shift.level_after},
                      {"change_percent", shift.change_percent},
                      {"steps", std::move(steps)}});
  }
  for (const Episode& episode : series.found.episodes) {
    if (!large(episode.change_percent, min_percent)) continue;
    episodes.push_back({{"start_run_id", runs[episode.begin].id},
                        {"start", runs[episode.begin].started},
                        {"end_run_id", runs[episode.end - 1].id},
                        {"end", runs[episode.end - 1].started},
                        {"runs", episode.end - episode.begin},
                        {"level", episode.level},
                        {"level_around", episode.level_around},
                        {"change_percent", episode.change_percent}});
  }
  const RunKey& key = series.key;
  return {{"host", or_null(!key.host.empty(), key.host)},
          {"label", key.label},
          {"threads", key.threads},
          {"library_version", key.library_version},
          {"arch", or_null(!key.arch.empty(), key.arch)},
          {"cpu_model", or_null(!key.cpu_model.empty(), key.cpu_model)},
          {"runs", runs.size()},
          {"judged", series.judged},
          {"shifts", std::move(shifts)},
          {"episodes", std::move(episodes)}};
}

nlohmann::ordered_json changes_json(const ChangesSummary& summary,
                                    const std::vector<RunSeries>& series) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const RunSeries& one : series) {
    list.push_back(series_changes_json(one, summary.min_change_percent));
  }
  return {{"schema_version", 2},
          {"program", "tarnwick"},
          {"command", "history --changes"},
          {"history", summary.history},
          {"runs", summary.runs},
          {"min_change_percent", summary.min_change_percent},
          {"alpha", summary.options.alpha},
          {"min_segment", summary.options.min_segment},
          {"runs_needed", needed(summary.options)},
          {"series", std::move(list)}};
}

namespace {

std::string run_at(const ListedRun& run) {
  return fmt::format("run {} at {}", run.id.substr(0, 12), run.started);
}

std::string latest(const FoundShift& found) {
  const std::size_t runs = found.runs_since();
  const std::string text = runs == 1 ? "the latest run" : fmt::format("the latest {} runs", runs);
  return found.shift.ongoing ? text + ", still moving" : text;
}

std::string shift_text(const FoundShift& found) {
  const Shift& shift = found.shift;
  std::string text =
      fmt::format("  shift    {:>7}  {} -> {} /s", signed_percent(shift.change_percent),
                  short_rate(shift.level_before), short_rate(shift.level_after));
  if (shift.steps.size() == 1) {
    return text + fmt::format("\n    at {} ({})\n", run_at(found.first_run()), latest(found));
  }
  return text + fmt::format(" in {} steps\n    from {}\n    to {} ({})\n", shift.steps.size(),
                            run_at(found.first_run()), run_at(found.last_run()), latest(found));
}

std::string episode_text(const FoundEpisode& found) {
  const Episode& episode = found.episode;
  return fmt::format("  episode  {:>7}  {} /s for {}, {} /s around\n    from {}\n    to {}\n",
                     signed_percent(episode.change_percent), short_rate(episode.level),
                     plural(episode.end - episode.begin, "run"), short_rate(episode.level_around),
                     run_at(found.first_run()), run_at(found.last_run()));
}

}  // namespace

SeriesNames::SeriesNames(const std::vector<const RunSeries*>& series) {
  std::map<std::string, std::set<const RunSeries*>> seen;
  for (const RunSeries* one : series) seen[series_name(one->key)].insert(one);
  for (const auto& [name, same] : seen) {
    if (same.size() > 1) shared_.insert(name);
  }
}

SeriesNames::SeriesNames(const FoundChanges& found)
    : SeriesNames([&] {
        std::vector<const RunSeries*> series = found.not_judged;
        for (const FoundShift& one : found.shifts) series.push_back(one.series);
        for (const FoundEpisode& one : found.episodes) series.push_back(one.series);
        return series;
      }()) {}

std::string SeriesNames::operator()(const RunSeries& series) const {
  std::string name = series_name(series.key);
  if (shared_.count(name) > 0) {
    name += fmt::format(" · {} · {}", series.key.arch.empty() ? "?" : printable(series.key.arch),
                        series.key.cpu_model.empty() ? "?" : printable(series.key.cpu_model));
  }
  return name;
}

std::string shift_line(const FoundShift& found) {
  const Shift& shift = found.shift;
  std::string text = fmt::format("shift of {} ({} -> {} /s", signed_percent(shift.change_percent),
                                 short_rate(shift.level_before), short_rate(shift.level_after));
  if (shift.steps.size() > 1) text += fmt::format(" in {} steps", shift.steps.size());
  text += fmt::format(") from {}", run_at(found.first_run()));
  if (shift.steps.size() > 1) text += fmt::format(" to {}", run_at(found.last_run()));
  return text + fmt::format(", {}", latest(found));
}

std::string episode_line(const FoundEpisode& found) {
  const Episode& episode = found.episode;
  return fmt::format("episode of {} ({} /s for {}, {} /s around) from {} to {}",
                     signed_percent(episode.change_percent), short_rate(episode.level),
                     plural(episode.end - episode.begin, "run"), short_rate(episode.level_around),
                     run_at(found.first_run()), run_at(found.last_run()));
}

std::string not_judged_text(const RunSeries& series, const ChangePointOptions& options) {
  return fmt::format("{}; changes need {}", plural(series.runs.size(), "run"), needed(options));
}

std::string changes_text(const ChangesSummary& summary, const FoundChanges& found) {
  const SeriesNames name_of(found);
  const std::size_t listed = found.shifts.size() + found.episodes.size();
  std::string text = fmt::format(
      "{} of {} % or more in {} ({} completed runs)\nof {}\n",
      listed == 0 ? std::string("No shifts or episodes")
                  : fmt::format("{} and {}", plural(found.shifts.size(), "shift"),
                                plural(found.episodes.size(), "episode")),
      fmt::format("{:g}", summary.min_change_percent), plural(summary.series, "series", "series"),
      grouped(static_cast<double>(summary.runs)), printable(summary.history));
  if (!found.not_judged.empty()) {
    text +=
        fmt::format("{} too short to judge: changes need {} runs\n",
                    plural(found.not_judged.size(), "series", "series"), needed(summary.options));
  }
  // In series order, one header each: the lists are in that order already.
  auto shift = found.shifts.begin();
  auto episode = found.episodes.begin();
  const RunSeries* current = nullptr;
  while (shift != found.shifts.end() || episode != found.episodes.end()) {
    const RunSeries* next_series =
        episode == found.episodes.end() ||
                (shift != found.shifts.end() && shift->series <= episode->series)
            ? shift->series
            : episode->series;
    if (next_series != current) {
      current = next_series;
      text += fmt::format("\n{} ({})\n", first_characters(name_of(*current), 64),
                          plural(current->runs.size(), "run"));
    }
    // Within a series, in time order.
    const bool shift_next = shift != found.shifts.end() && shift->series == current &&
                            (episode == found.episodes.end() || episode->series != current ||
                             shift->shift.first <= episode->episode.begin);
    text += shift_next ? shift_text(*shift++) : episode_text(*episode++);
  }
  if (!found.not_judged.empty()) text += "\n";
  for (const RunSeries* one : found.not_judged) {
    text += fmt::format("{}: {}\n", first_characters(name_of(*one), 50),
                        not_judged_text(*one, summary.options));
  }
  return text;
}

}  // namespace tarnwick
