#include "fleet/outputs.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "formats/numbers.hpp"
#include "formats/svg.hpp"
#include "formats/text.hpp"

namespace tarnwick::fleet {
namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json or_null(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

// Percent above (+) or below (-) the group's median.
double deviation_percent(const HostFigure& host, const Group& group) {
  return group.median > 0.0 ? (host.median_rate / group.median - 1.0) * 100.0 : 0.0;
}

std::string host_name(const HostFigure& host) {
  return host.host_from_file ? host.host + " *" : host.host;
}

// Control bytes are escaped as everywhere document text is shown: a CSV
// opened in a terminal or a spreadsheet gets no escape sequence from it.
std::string csv_field(const std::string& raw) {
  const std::string text = printable(raw);
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

bool any_from_file(const FleetReport& report) {
  return std::any_of(report.hosts.begin(), report.hosts.end(),
                     [](const HostSummary& host) { return host.host_from_file; });
}

}  // namespace

std::string group_title(const Group& group) {
  return fmt::format("{} \u00b7 {} \u00b7 {}, {} worker{} \u00b7 library {}", group.cpu_model,
                     group.arch, group.label, group.threads, group.threads == 1 ? "" : "s",
                     group.library_version);
}

std::string report_text(const FleetReport& report) {
  std::size_t width = 4;
  for (const Group& group : report.groups) {
    for (const HostFigure& host : group.hosts)
      width = std::max(width, characters(printable(host_name(host))));
  }
  width = std::min<std::size_t>(width, 32);

  std::string text = fmt::format(
      "tarnwick report: {} host{}, {} document{}, {} group{}{}\n", report.hosts.size(),
      report.hosts.size() == 1 ? "" : "s", report.documents, report.documents == 1 ? "" : "s",
      report.groups.size(), report.groups.size() == 1 ? "" : "s",
      report.problems.empty() ? std::string()
                              : fmt::format("; {} left out", report.problems.size()));

  text += "\nOutliers (robust z beyond \u00b13.5 within their group)\n";
  if (report.outliers.empty()) text += "  none\n";
  for (const Outlier& outlier : report.outliers) {
    const Group& group = report.groups[outlier.group];
    const HostFigure& host = group.hosts[outlier.host];
    text +=
        fmt::format("  {:<{}}  {}  z {:+.1f}  {} steps/s, {:+.1f} % against the median of {}\n",
                    printable(host_name(host)), width, host.flag, *host.z,
                    grouped(host.median_rate), deviation_percent(host, group), group.hosts.size());
    text += fmt::format("  {:<{}}  {}\n", "", width, printable(group_title(group)));
  }
  bool unstable_header = false;
  for (const Group& group : report.groups) {
    for (const HostFigure& host : group.hosts) {
      if (!host.unstable) continue;
      if (!unstable_header)
        text += "\nHosts with unstable runs (CV above 10 %: their figure is doubtful)\n";
      unstable_header = true;
      text += fmt::format("  {:<{}}  CV {}  {}, {} worker{}\n", printable(host_name(host)), width,
                          host.median_cv_percent ? fmt::format("{:.2f} %", *host.median_cv_percent)
                                                 : std::string("n/a"),
                          group.label, group.threads, group.threads == 1 ? "" : "s");
    }
  }

  for (const Group& group : report.groups) {
    text += fmt::format("\n{}\n", printable(group_title(group)));
    text +=
        fmt::format("  {} host{}, median {} steps/s, MAD {} ({:.2f} %)\n", group.hosts.size(),
                    group.hosts.size() == 1 ? "" : "s", grouped(group.median), grouped(group.mad),
                    group.median > 0.0 ? group.mad / group.median * 100.0 : 0.0);
    if (!group.no_flags_reason.empty()) {
      text += fmt::format("  no host flagged: {}\n", group.no_flags_reason);
    }
    text += fmt::format("  {:<{}}  {:>4}  {:>13}  {:>9}  {:>7}  {:>7}\n", "host", width, "runs",
                        "steps/s", "vs median", "z", "CV");
    for (const HostFigure& host : group.hosts) {
      std::string marks = host.flag;
      if (host.unstable) marks += marks.empty() ? "unstable" : ", unstable";
      std::string row = fmt::format(
          "  {:<{}}  {:>4}  {:>13}  {:>+7.2f} %  {:>7}  {:>7}  {}", printable(host_name(host)),
          width, host.runs, grouped(host.median_rate), deviation_percent(host, group),
          host.z ? fmt::format("{:+.2f}", *host.z) : std::string("-"),
          host.median_cv_percent ? fmt::format("{:.2f} %", *host.median_cv_percent)
                                 : std::string("n/a"),
          marks);
      while (row.back() == ' ') row.pop_back();
      text += row + "\n";
    }
  }
  if (any_from_file(report)) {
    text += "\n* no host name in the document (0.0.2): the host is the file's name\n";
  }
  if (!report.problems.empty()) {
    text += fmt::format("\nLeft out ({})\n", report.problems.size());
    for (const Problem& problem : report.problems) {
      text += fmt::format("  {}: {}\n", printable(problem.path), printable(problem.reason));
    }
  }
  return text;
}

Json report_json(const FleetReport& report) {
  Json groups = Json::array();
  // Each host's figures, by host name, for the per-host view.
  std::map<std::pair<std::string, bool>, Json> figures;
  for (std::size_t index = 0; index < report.groups.size(); ++index) {
    const Group& group = report.groups[index];
    Json members = Json::array();
    for (const HostFigure& host : group.hosts) {
      members.push_back({{"host", host.host},
                         {"host_from_file", host.host_from_file},
                         {"runs", host.runs},
                         {"median_mean_rate", host.median_rate},
                         {"median_cv_percent", or_null(host.median_cv_percent)},
                         {"unstable", host.unstable},
                         {"latest", host.latest},
                         {"deviation_percent", deviation_percent(host, group)},
                         {"robust_z", or_null(host.z)},
                         {"flag", host.flag.empty() ? Json(nullptr) : Json(host.flag)}});
      figures[{host.host, host.host_from_file}].push_back(
          {{"group", index},
           {"label", group.label},
           {"threads", group.threads},
           {"runs", host.runs},
           {"median_mean_rate", host.median_rate},
           {"median_cv_percent", or_null(host.median_cv_percent)},
           {"unstable", host.unstable}});
    }
    groups.push_back({{"cpu_model", group.cpu_model},
                      {"arch", group.arch},
                      {"label", group.label},
                      {"threads", group.threads},
                      {"library_version", group.library_version},
                      {"hosts", group.hosts.size()},
                      {"median_mean_rate", group.median},
                      {"mad", group.mad},
                      {"no_flags_reason",
                       group.no_flags_reason.empty() ? Json(nullptr) : Json(group.no_flags_reason)},
                      {"members", std::move(members)}});
  }
  Json hosts = Json::array();
  for (const HostSummary& host : report.hosts) {
    auto found = figures.find({host.host, host.host_from_file});
    if (found == figures.end()) continue;  // every run was older than --since
    hosts.push_back({{"host", host.host},
                     {"host_from_file", host.host_from_file},
                     {"documents", host.documents},
                     {"runs", host.runs},
                     {"unstable", host.unstable},
                     {"figures", std::move(found->second)}});
  }
  Json outliers = Json::array();
  for (const Outlier& outlier : report.outliers) {
    const Group& group = report.groups[outlier.group];
    const HostFigure& host = group.hosts[outlier.host];
    outliers.push_back({{"host", host.host},
                        {"host_from_file", host.host_from_file},
                        {"flag", host.flag},
                        {"robust_z", *host.z},
                        {"median_mean_rate", host.median_rate},
                        {"deviation_percent", deviation_percent(host, group)},
                        {"group", outlier.group}});
  }
  Json problems = Json::array();
  for (const Problem& problem : report.problems) {
    problems.push_back({{"path", problem.path}, {"reason", problem.reason}});
  }
  return {{"schema_version", 1},
          {"program", "tarnwick"},
          {"command", "report"},
          {"documents", report.documents},
          {"outliers", std::move(outliers)},
          {"hosts", std::move(hosts)},
          {"groups", std::move(groups)},
          {"left_out", std::move(problems)}};
}

std::string report_csv(const FleetReport& report) {
  std::string text =
      "host,host_from_file,cpu_model,arch,label,threads,library_version,runs,median_mean_rate,"
      "median_cv_percent,unstable,group_hosts,group_median,group_mad,deviation_percent,robust_z,"
      "flag\n";
  for (const Group& group : report.groups) {
    for (const HostFigure& host : group.hosts) {
      text += fmt::format(
          "{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", csv_field(host.host),
          host.host_from_file, csv_field(group.cpu_model), csv_field(group.arch),
          csv_field(group.label), group.threads, csv_field(group.library_version), host.runs,
          host.median_rate,
          host.median_cv_percent ? fmt::format("{}", *host.median_cv_percent) : std::string(),
          host.unstable, group.hosts.size(), group.median, group.mad,
          deviation_percent(host, group), host.z ? fmt::format("{}", *host.z) : std::string(),
          host.flag);
    }
  }
  return text;
}

std::string report_svg(const FleetReport& report) {
  constexpr double WIDTH = 860.0;
  constexpr double LEFT = 190.0;
  constexpr double RIGHT = 170.0;
  constexpr double TOP = 70.0;
  constexpr double ROW = 16.0;
  constexpr double HEADING = 26.0;
  constexpr double BOTTOM = 50.0;
  constexpr const char* NORMAL = "#1f5fa8";
  constexpr const char* SLOW = "#c0392b";
  constexpr const char* FAST = "#1e8449";

  // Rows: the hosts of each CPU model (and architecture), in name order.
  struct Dot {
    double deviation;
    const HostFigure* host;
    const Group* group;
    std::size_t label_index;
  };
  std::map<std::string, std::map<std::string, std::vector<Dot>>> sections;
  std::vector<std::string> labels;
  double extent = 5.0;
  // One shape per run label: the rows already keep CPU models apart, and
  // with them their worker counts, which each dot's tooltip gives.
  for (const Group& group : report.groups) {
    const std::string& label = group.label;
    auto known = std::find(labels.begin(), labels.end(), label);
    const auto label_index = static_cast<std::size_t>(known - labels.begin());
    if (known == labels.end()) labels.push_back(label);
    for (const HostFigure& host : group.hosts) {
      const double deviation = deviation_percent(host, group);
      extent = std::max(extent, std::abs(deviation));
      sections[group.cpu_model + " \u00b7 " + group.arch][host_name(host)].push_back(
          Dot{deviation, &host, &group, label_index});
    }
  }
  const std::vector<double> ticks = nice_ticks(-extent * 1.1, extent * 1.1, 8);
  const double low = ticks.front();
  const double high = ticks.back();
  const auto x_of = [&](double value) {
    return LEFT + (value - low) / (high - low) * (WIDTH - LEFT - RIGHT);
  };
  std::size_t rows = 0;
  for (const auto& [model, hosts] : sections) rows += hosts.size();
  const double height = TOP + static_cast<double>(sections.size()) * HEADING +
                        static_cast<double>(rows) * ROW + BOTTOM;

  std::string svg = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0:.0f}\" height=\"{1:.0f}\" "
      "viewBox=\"0 0 {0:.0f} {1:.0f}\" font-family=\"sans-serif\" font-size=\"11\">\n"
      "<title>tarnwick report: each host against the median of its group</title>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      "<text x=\"{2:.1f}\" y=\"24\" text-anchor=\"middle\" font-size=\"15\" "
      "font-weight=\"bold\">tarnwick report: {3} hosts, {4} outlier{5}</text>\n",
      WIDTH, height, WIDTH / 2.0, report.hosts.size(), report.outliers.size(),
      report.outliers.size() == 1 ? "" : "s");
  // Legend: one marker shape per label, colour for the judgement.
  const auto marker = [](std::size_t shape, double x, double y, const char* colour, bool hollow) {
    const std::string paint =
        hollow ? fmt::format("fill=\"white\" stroke=\"{}\" stroke-width=\"1.5\"", colour)
               : fmt::format("fill=\"{}\"", colour);
    switch (shape % 3) {
      case 0:
        return fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"4\" {}/>", x, y, paint);
      case 1:
        return fmt::format("<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"8\" height=\"8\" {}/>", x - 4.0,
                           y - 4.0, paint);
      default:
        return fmt::format("<path d=\"M{:.1f},{:.1f} l5,5 l-5,5 l-5,-5 z\" {}/>", x, y - 5.0,
                           paint);
    }
  };
  double legend_x = LEFT;
  for (std::size_t index = 0; index < labels.size(); ++index) {
    svg += marker(index, legend_x, 44.0, NORMAL, false);
    svg += fmt::format("<text x=\"{:.1f}\" y=\"48\">{}</text>\n", legend_x + 9.0,
                       xml_escape(labels[index]));
    legend_x += 16.0 + 7.0 * static_cast<double>(labels[index].size());
  }
  svg += marker(0, legend_x, 44.0, SLOW, false) +
         fmt::format("<text x=\"{:.1f}\" y=\"48\">slow</text>", legend_x + 9.0);
  svg += marker(0, legend_x + 50.0, 44.0, FAST, false) +
         fmt::format("<text x=\"{:.1f}\" y=\"48\">fast</text>", legend_x + 59.0);
  svg += marker(0, legend_x + 100.0, 44.0, NORMAL, true) +
         fmt::format("<text x=\"{:.1f}\" y=\"48\">unstable runs</text>\n", legend_x + 109.0);

  const double plot_bottom = height - BOTTOM;
  for (const double tick : ticks) {
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"{3}\"/>\n"
        "<text x=\"{0:.1f}\" y=\"{4:.1f}\" text-anchor=\"middle\">{5} %</text>\n",
        x_of(tick), TOP, plot_bottom, tick == 0.0 ? "#888888" : "#e4e4e4", plot_bottom + 16.0,
        tick == 0.0 ? std::string("0") : fmt::format("{:+g}", tick));
  }
  svg += fmt::format(
      "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">rate against the median of the "
      "host's group (same CPU, label, workers, library)</text>\n",
      (LEFT + WIDTH - RIGHT) / 2.0, plot_bottom + 36.0);

  double y = TOP;
  for (const auto& [model, hosts] : sections) {
    svg += fmt::format("<text x=\"8\" y=\"{:.1f}\" font-weight=\"bold\">{}</text>\n", y + 17.0,
                       xml_escape(model));
    y += HEADING;
    bool shade = false;
    for (const auto& [name, dots] : hosts) {
      const double middle = y + ROW / 2.0;
      if (shade) {
        svg += fmt::format(
            "<rect x=\"0\" y=\"{:.1f}\" width=\"{:.0f}\" height=\"{:.0f}\" fill=\"#000000\" "
            "fill-opacity=\"0.04\"/>\n",
            y, WIDTH, ROW);
      }
      shade = !shade;
      svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>\n",
                         LEFT - 10.0, middle + 4.0, xml_escape(name));
      std::string notes;
      for (const Dot& dot : dots) {
        const char* colour = dot.host->flag == "slow"   ? SLOW
                             : dot.host->flag == "fast" ? FAST
                                                        : NORMAL;
        svg += fmt::format(
            "<g><title>{}: {} steps/s, {:+.2f} % ({}){}</title>{}</g>\n", xml_escape(name),
            grouped(dot.host->median_rate), dot.deviation,
            xml_escape(fmt::format("{}, {} worker{}", dot.group->label, dot.group->threads,
                                   dot.group->threads == 1 ? "" : "s")),
            dot.host->z ? fmt::format(", z {:+.2f}", *dot.host->z) : "",
            marker(dot.label_index, x_of(dot.deviation), middle, colour, dot.host->unstable));
        if (!dot.host->flag.empty()) {
          notes += fmt::format("{}{} z {:+.1f}", notes.empty() ? "" : "; ", dot.host->flag,
                               *dot.host->z);
        } else if (dot.host->unstable && notes.find("unstable") == std::string::npos) {
          notes += notes.empty() ? "unstable" : "; unstable";
        }
      }
      if (!notes.empty()) {
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" fill=\"{}\">{}</text>\n",
                           WIDTH - RIGHT + 8.0, middle + 4.0,
                           notes.find("slow") != std::string::npos ? SLOW : "#333333",
                           xml_escape(notes));
      }
      y += ROW;
    }
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace tarnwick::fleet
