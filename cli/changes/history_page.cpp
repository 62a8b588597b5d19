#include "changes/history_page.hpp"

#include <cmath>
#include <map>
#include <string>
#include <string_view>

#include "changes/page_files.hpp"
#include "html/page.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::json;

// Six significant digits: what a chart or a tooltip can show of a rate,
// at a third of the bytes of a double written in full.
double rounded(double value) { return round_significant(value, 6); }

Json series_json(const RunSeries& series, double min_change_percent, std::size_t runs_needed) {
  // One array per run keeps 10,000 runs well under a megabyte:
  // [start ms, mean, cv or null, unstable 0/1, id prefix, disturbed seconds
  // or null when its document did not count them].
  Json runs = Json::array();
  for (const ListedRun& run : series.runs) {
    const auto started = parse_utc(run.started);
    runs.push_back(
        Json::array({started ? Json(*started) : Json(nullptr), rounded(*run.mean_rate),
                     run.cv_percent ? Json(round_decimals(*run.cv_percent, 2)) : Json(nullptr),
                     run.unstable ? 1 : 0, run.id.substr(0, 12),
                     run.disturbed_seconds ? Json(*run.disturbed_seconds) : Json(nullptr)}));
  }
  // The shifts and episodes are those `history --changes --json` lists,
  // from the one record of the series, placed on the chart by their runs.
  const nlohmann::ordered_json record = series_changes_json(series, min_change_percent);
  std::map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < series.runs.size(); ++i) position.emplace(series.runs[i].id, i);
  Json changes = Json::array();
  for (const auto& shift : record["shifts"]) {
    Json change = {{"kind", "shift"},
                   {"index", position.at(shift["start_run_id"].get<std::string>())},
                   {"percent", round_decimals(shift["change_percent"].get<double>(), 2)},
                   {"before", rounded(shift["level_before"].get<double>())},
                   {"after", rounded(shift["level_after"].get<double>())},
                   {"run", shift["start_run_id"]},
                   {"started", shift["start"]},
                   {"steps", shift["steps"].size()},
                   {"ongoing", shift["ongoing"]}};
    if (shift["steps"].size() == 1) {
      change["p"] = shift["steps"][0]["p_value"];
    } else {
      change["end"] = position.at(shift["end_run_id"].get<std::string>());
      change["ended"] = shift["end"];
    }
    changes.push_back(std::move(change));
  }
  for (const auto& episode : record["episodes"]) {
    changes.push_back({{"kind", "episode"},
                       {"index", position.at(episode["start_run_id"].get<std::string>())},
                       {"end", position.at(episode["end_run_id"].get<std::string>())},
                       {"percent", round_decimals(episode["change_percent"].get<double>(), 2)},
                       {"before", rounded(episode["level_around"].get<double>())},
                       {"after", rounded(episode["level"].get<double>())},
                       {"run", episode["start_run_id"]},
                       {"started", episode["start"]},
                       {"ended", episode["end"]},
                       {"runs", episode["runs"]}});
  }
  // Every significant change bounds a level, large or not: the segments'
  // medians are the steps the chart draws through the points.
  Json levels = Json::array();
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= series.changes.size(); ++i) {
    const std::size_t end =
        i < series.changes.size() ? series.changes[i].index : series.runs.size();
    const double level = i < series.changes.size() ? series.changes[i].median_before
                         : series.changes.empty()  ? std::nan("")
                                                   : series.changes.back().median_after;
    if (std::isfinite(level)) levels.push_back({begin, end, rounded(level)});
    begin = end;
  }
  return {{"threads", series.key.threads}, {"library_version", series.key.library_version},
          {"judged", record["judged"]},    {"needs", runs_needed},
          {"runs", std::move(runs)},       {"changes", std::move(changes)},
          {"levels", std::move(levels)}};
}

}  // namespace

std::string history_page(const HistoryPageSummary& summary, const std::vector<RunSeries>& series) {
  Json groups = Json::array();
  for (const RunSeries& one : series) {
    const bool same_group = !groups.empty() && groups.back()["host_key"] == one.key.host &&
                            groups.back()["label"] == one.key.label;
    if (!same_group) {
      groups.push_back({{"host_key", one.key.host},
                        {"host", one.key.host.empty() ? "(unknown host)" : one.key.host},
                        {"label", one.key.label},
                        {"series", Json::array()}});
    }
    groups.back()["series"].push_back(
        series_json(one, summary.min_change_percent, summary.runs_needed));
  }
  for (Json& group : groups) group.erase("host_key");

  HtmlPage page;
  page.title = "tarnwick history";
  page.css = changes::page_files::history_page_css();
  page.body = changes::page_files::history_page_html();
  page.script = changes::page_files::history_page_js();
  page.data = {{"history", summary.history},
               {"generated", summary.generated},
               {"min_change_percent", summary.min_change_percent},
               {"filter", summary.filter},
               {"groups", std::move(groups)}};
  return html_page(page);
}

}  // namespace tarnwick
