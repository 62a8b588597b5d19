#include "changes/ci.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <tuple>

#include "util/text.hpp"

namespace tarnwick {
namespace {

std::string suite_name(const ChangesSummary& summary) {
  return "tarnwick history --changes: " + summary.history;
}

bool trips(const ChangesReport& report, const FoundShift& shift) {
  return std::any_of(report.failing.begin(), report.failing.end(), [&](const FoundShift& one) {
    return one.series == shift.series && one.shift.first == shift.shift.first;
  });
}

// Every series' listed shifts and episodes as lines, in time order.
std::vector<std::vector<std::string>> lines_by_series(const ChangesReport& report) {
  const std::vector<RunSeries>& series = *report.series;
  std::vector<std::vector<std::tuple<std::size_t, std::string>>> at(series.size());
  const auto index = [&](const RunSeries* one) {
    return static_cast<std::size_t>(one - series.data());
  };
  for (const FoundShift& shift : report.found->shifts) {
    at[index(shift.series)].emplace_back(shift.shift.first, shift_line(shift));
  }
  for (const FoundEpisode& episode : report.found->episodes) {
    at[index(episode.series)].emplace_back(episode.episode.begin, episode_line(episode));
  }
  std::vector<std::vector<std::string>> lines(series.size());
  for (std::size_t i = 0; i < series.size(); ++i) {
    std::stable_sort(at[i].begin(), at[i].end(),
                     [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    for (auto& [first, line] : at[i]) lines[i].push_back(std::move(line));
  }
  return lines;
}

std::string day_and_time(const ListedRun& run) {
  // "2026-02-20T02:00:00.000Z" as "2026-02-20 02:00": what a reader scans.
  std::string text = run.started.substr(0, 16);
  if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
  return text;
}

std::string levels(double before, double after) {
  return fmt::format("{} -> {}", short_rate(before), short_rate(after));
}

}  // namespace

CiSuite changes_suite(const ChangesReport& report) {
  const ChangesSummary& summary = *report.summary;
  const std::vector<RunSeries>& series = *report.series;
  std::vector<const RunSeries*> all;
  all.reserve(series.size());
  for (const RunSeries& one : series) all.push_back(&one);
  const SeriesNames name_of(all);
  const auto lines = lines_by_series(report);
  CiSuite suite{suite_name(summary), {}};
  for (std::size_t i = 0; i < series.size(); ++i) {
    const RunSeries& one = series[i];
    CiCase item{name_of(one), CiCase::Outcome::passed, {}, {}};
    const auto failing =
        std::find_if(report.failing.begin(), report.failing.end(),
                     [&](const FoundShift& shift) { return shift.series == &one; });
    if (!one.judged) {
      item.outcome = CiCase::Outcome::skipped;
      item.message = "not judged: " + not_judged_text(one, summary.options);
      suite.cases.push_back(std::move(item));
      continue;
    }
    item.detail =
        lines[i].empty()
            ? fmt::format("{}; no shift or episode of {:g} % or more",
                          plural(one.runs.size(), "run"), summary.min_change_percent)
            : fmt::format("{}:\n{}", plural(one.runs.size(), "run"), fmt::join(lines[i], "\n"));
    if (failing != report.failing.end()) {
      item.outcome = CiCase::Outcome::failed;
      item.message =
          fmt::format("--fail-on-change {:g}: {}", *report.fail_on_change, shift_line(*failing));
    }
    suite.cases.push_back(std::move(item));
  }
  return suite;
}

MarkdownTable changes_table(const ChangesReport& report) {
  const ChangesSummary& summary = *report.summary;
  const FoundChanges& found = *report.found;
  const SeriesNames name_of(found);
  const bool gated = report.fail_on_change.has_value();
  MarkdownTable table;
  table.heading = suite_name(summary);
  table.columns = {"Series", "What", "Change", "From", "To", "Level steps/s"};
  if (gated) table.columns.push_back(fmt::format("Gate ({:g} %)", *report.fail_on_change));

  // In series order, each series' rows in time order.
  std::vector<std::tuple<const RunSeries*, std::size_t, std::vector<std::string>>> rows;
  for (const FoundShift& shift : found.shifts) {
    std::vector<std::string> cells = {name_of(*shift.series),
                                      shift.shift.ongoing ? "shift, still moving" : "shift",
                                      signed_percent(shift.shift.change_percent),
                                      day_and_time(shift.first_run()),
                                      day_and_time(shift.last_run()),
                                      levels(shift.shift.level_before, shift.shift.level_after)};
    if (gated) cells.emplace_back(trips(report, shift) ? "FAILED" : "passed");
    rows.emplace_back(shift.series, shift.shift.first, std::move(cells));
  }
  for (const FoundEpisode& episode : found.episodes) {
    std::vector<std::string> cells = {
        name_of(*episode.series),
        fmt::format("episode, {}", plural(episode.episode.end - episode.episode.begin, "run")),
        signed_percent(episode.episode.change_percent),
        day_and_time(episode.first_run()),
        day_and_time(episode.last_run()),
        levels(episode.episode.level_around, episode.episode.level)};
    if (gated) cells.emplace_back("never gates");
    rows.emplace_back(episode.series, episode.episode.begin, std::move(cells));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
  });
  for (auto& row : rows) table.rows.push_back(std::move(std::get<2>(row)));
  for (const RunSeries* one : found.not_judged) {
    std::vector<std::string> cells = {
        name_of(*one), "not judged", "", "", "", not_judged_text(*one, summary.options)};
    if (gated) cells.emplace_back("not judged");
    table.rows.push_back(std::move(cells));
  }
  if (table.rows.empty()) {
    table.rows.push_back({"(none)", fmt::format("no shift or episode of {:g} % or more",
                                                summary.min_change_percent)});
  }
  table.notes.push_back(fmt::format(
      "{} in {} series; shifts and episodes of {:g} % or more either way; episodes came back and "
      "never "
      "trip the gate.",
      plural(summary.runs, "completed run"), summary.series, summary.min_change_percent));
  return table;
}

}  // namespace tarnwick
