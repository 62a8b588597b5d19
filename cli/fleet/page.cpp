#include "fleet/page.hpp"

#include <fmt/format.h>

#include "fleet/outputs.hpp"
#include "fleet/page_files.hpp"
#include "html/page.hpp"

namespace tarnwick::fleet {
namespace {

using Json = nlohmann::json;

// Rates to five significant digits (a run's rate is measured to a few
// tenths of a percent); percents, z and CV to the two decimals shown.
double rate_figure(double value) { return round_significant(value, 5); }
double hundredths(double value) { return round_decimals(value, 2); }

}  // namespace

Json page_data(const FleetReport& report) {
  Json groups = Json::array();
  Json rows = Json::array();
  Json runs = Json::array();
  for (std::size_t index = 0; index < report.groups.size(); ++index) {
    const Group& group = report.groups[index];
    groups.push_back({{"model", group.cpu_model},
                      {"arch", group.arch},
                      {"label", group.label},
                      {"threads", group.threads},
                      {"library", group.library_version},
                      {"median", rate_figure(group.median)},
                      {"mad", rate_figure(group.mad)},
                      {"no_flags_reason", group.no_flags_reason}});
    for (const HostFigure& host : group.hosts) {
      rows.push_back(Json::array(
          {host.host, index, rate_figure(host.median_rate),
           hundredths(deviation_percent(host, group)),
           host.z ? Json(hundredths(*host.z)) : Json(nullptr), host.flag,
           host.median_cv_percent ? Json(hundredths(*host.median_cv_percent)) : Json(nullptr),
           host.unstable ? 1 : 0, host.runs, host.host_from_file ? 1 : 0}));
      Json points = Json::array();
      for (const RunPoint& run : host.history) {
        points.push_back(
            Json::array({run.time, rate_figure(run.rate),
                         run.cv_percent ? Json(hundredths(*run.cv_percent)) : Json(nullptr),
                         run.unstable ? 1 : 0, run.counted ? 1 : 0}));
      }
      runs.push_back(std::move(points));
    }
  }
  // Row numbers of the flagged hosts, in the report's order (slowest first).
  Json flagged = Json::array();
  for (const Outlier& outlier : report.outliers) {
    std::size_t row = outlier.host;
    for (std::size_t g = 0; g < outlier.group; ++g) row += report.groups[g].hosts.size();
    flagged.push_back(row);
  }
  Json left_out = Json::array();
  for (const Problem& problem : report.problems) {
    left_out.push_back(Json::array({problem.path, problem.reason}));
  }
  std::size_t hosts = 0;
  for (const HostSummary& host : report.hosts) hosts += host.runs > 0 ? 1 : 0;
  return {{"hosts", hosts},
          {"documents", report.documents},
          {"since", report.since ? Json(*report.since + "Z") : Json(nullptr)},
          {"repeated_runs", report.repeated_runs},
          {"hosts_before_since", report.hosts_before_since},
          {"notes", report.model_notes},
          {"groups", std::move(groups)},
          {"rows", std::move(rows)},
          {"runs", std::move(runs)},
          {"flagged", std::move(flagged)},
          {"left_out", std::move(left_out)}};
}

std::string report_html(const FleetReport& report) {
  HtmlPage page;
  page.title = fmt::format("tarnwick report: {} hosts, {} flagged", report.hosts.size(),
                           report.outliers.size());
  page.css = page_files::page_css();
  page.body = page_files::page_html();
  page.data = page_data(report);
  page.script = page_files::page_js();
  return html_page(page);
}

}  // namespace tarnwick::fleet
