#include "fleet/outputs.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "util/escaping.hpp"
#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/svg.hpp"
#include "util/text.hpp"

namespace tarnwick::fleet {
namespace {

using Json = nlohmann::ordered_json;

std::string host_name(const HostFigure& host) {
  return host.host_from_file ? host.host + " *" : host.host;
}

bool any_from_file(const FleetReport& report) {
  return std::any_of(report.hosts.begin(), report.hosts.end(),
                     [](const HostSummary& host) { return host.host_from_file; });
}

}  // namespace

double deviation_percent(const HostFigure& host, const Group& group) {
  return group.median > 0.0 ? (host.median_rate / group.median - 1.0) * 100.0 : 0.0;
}

std::string group_title(const Group& group) {
  return fmt::format("{} \u00b7 {} \u00b7 {}, {} \u00b7 library {}", group.cpu_model, group.arch,
                     group.label, plural(group.threads, "worker"), group.library_version);
}

namespace {

// The notes and the hosts with unstable runs, each block with its heading.
std::string notes_text(const FleetReport& report, std::size_t width) {
  std::string text;
  if (report.repeated_runs > 0 || !report.model_notes.empty() ||
      !report.hosts_before_since.empty()) {
    text += "\nNotes\n";
  }
  if (report.repeated_runs > 0) {
    text += fmt::format("  {} read more than once (paths that overlap, or copies): counted once\n",
                        plural(report.repeated_runs, "run"));
  }
  for (const std::string& note : report.model_notes) text += "  " + printable(note) + "\n";
  if (!report.hosts_before_since.empty()) {
    std::vector<std::string> names;
    for (const std::string& name : report.hosts_before_since) names.push_back(printable(name));
    text += fmt::format("  {} left out by --since {}Z (every run older): {}\n",
                        plural(names.size(), "host"), report.since.value_or(""),
                        fmt::join(names, ", "));
  }
  bool unstable_header = false;
  for (const Group& group : report.groups) {
    for (const HostFigure& host : group.hosts) {
      if (!host.unstable) continue;
      if (!unstable_header)
        text += "\nHosts with unstable runs (CV above 10 %: their figure is doubtful)\n";
      unstable_header = true;
      text += fmt::format("  {:<{}}  CV {}  {}, {}\n", printable(host_name(host)), width,
                          host.median_cv_percent ? fmt::format("{:.2f} %", *host.median_cv_percent)
                                                 : std::string("n/a"),
                          group.label, plural(group.threads, "worker"));
    }
  }
  return text;
}

// One group: its heading, figures and a row per host.
std::string group_text(const Group& group, std::size_t width) {
  std::string text = fmt::format("\n{}\n", printable(group_title(group)));
  text += fmt::format("  {}, median {} steps/s, MAD {} ({:.2f} %)\n",
                      plural(group.hosts.size(), "host"), grouped(group.median), grouped(group.mad),
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
        "  {:<{}}  {:>4}  {:>13}  {:>+7.2f} %  {:>7}  {:>7}  {}", printable(host_name(host)), width,
        host.runs, grouped(host.median_rate), deviation_percent(host, group),
        host.z ? fmt::format("{:+.2f}", *host.z) : std::string("-"),
        host.median_cv_percent ? fmt::format("{:.2f} %", *host.median_cv_percent)
                               : std::string("n/a"),
        marks);
    while (row.back() == ' ') row.pop_back();
    text += row + "\n";
  }
  return text;
}

}  // namespace

std::string report_text(const FleetReport& report) {
  std::size_t width = 4;
  for (const Group& group : report.groups) {
    for (const HostFigure& host : group.hosts)
      width = std::max(width, characters(printable(host_name(host))));
  }
  width = std::min<std::size_t>(width, 32);

  std::string text = fmt::format(
      "tarnwick report: {}, {}, {}{}\n", plural(report.hosts.size(), "host"),
      plural(report.documents, "document"), plural(report.groups.size(), "group"),
      report.problems.empty()
          ? std::string()
          : fmt::format("; {} left out", report.problems.size() + report.problems_unlisted));

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
  text += notes_text(report, width);
  for (const Group& group : report.groups) text += group_text(group, width);
  if (any_from_file(report)) {
    text += "\n* no host name in the document (0.0.2): the host is the file's name\n";
  }
  if (!report.problems.empty()) {
    text += fmt::format("\nLeft out ({})\n", report.problems.size() + report.problems_unlisted);
    for (const Problem& problem : report.problems) {
      text += problem.path.empty()
                  ? fmt::format("  {}\n", printable(problem.reason))
                  : fmt::format("  {}: {}\n", printable(problem.path), printable(problem.reason));
    }
    if (report.problems_unlisted > 0) {
      text += fmt::format("  ... and {} more (only the first {} are listed)\n",
                          report.problems_unlisted, report.problems.size());
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
          {"left_out", std::move(problems)},
          {"left_out_unlisted", report.problems_unlisted},
          {"repeated_runs", report.repeated_runs},
          {"since", report.since ? Json(*report.since + "Z") : Json(nullptr)},
          {"hosts_before_since", report.hosts_before_since},
          {"notes", report.model_notes}};
}

std::string report_csv(const FleetReport& report) {
  std::string text =
      "host,host_from_file,cpu_model,arch,label,threads,library_version,runs,median_mean_rate,"
      "median_cv_percent,unstable,group_hosts,group_median,group_mad,deviation_percent,robust_z,"
      "flag\n";
  for (const Group& group : report.groups) {
    for (const HostFigure& host : group.hosts) {
      text += fmt::format(
          "{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", csv_cell(host.host),
          host.host_from_file, csv_cell(group.cpu_model), csv_cell(group.arch),
          csv_cell(group.label), group.threads, csv_cell(group.library_version), host.runs,
          host.median_rate,
          host.median_cv_percent ? fmt::format("{}", *host.median_cv_percent) : std::string(),
          host.unstable, group.hosts.size(), group.median, group.mad,
          deviation_percent(host, group), host.z ? fmt::format("{}", *host.z) : std::string(),
          host.flag);
    }
  }
  return text;
}

namespace {

// The picture's frame, in pixels.
constexpr double SVG_WIDTH = 1000.0;
constexpr double SVG_LEFT = 280.0;   // group titles
constexpr double SVG_RIGHT = 270.0;  // flagged hosts, named
constexpr double SVG_TOP = 96.0;     // title, legend, upper axis
constexpr double SVG_BOTTOM = 70.0;  // lower axis, its caption, the note on groups left out
constexpr double SVG_ROW = 34.0;     // a group's band
constexpr double NAME_LINE = 13.0;
constexpr std::size_t NAMES_PER_ROW = 5;
constexpr double EDGE = 50.0;  // percent: figures further out are drawn at the edge
constexpr const char* NORMAL = "#1f5fa8";
constexpr const char* SLOW = "#c0392b";
constexpr const char* FAST = "#1e8449";

std::size_t flagged_count(const Group& group) {
  return static_cast<std::size_t>(std::count_if(
      group.hosts.begin(), group.hosts.end(), [](const HostFigure& h) { return !h.flag.empty(); }));
}

// A band grows with the names it lists.
double band_height(const Group& group) {
  const std::size_t flagged = flagged_count(group);
  const std::size_t lines = std::min(flagged, NAMES_PER_ROW) + (flagged > NAMES_PER_ROW ? 1 : 0);
  return std::max(SVG_ROW, static_cast<double>(lines) * NAME_LINE + 8.0);
}

// The dot's area grows with the worker count: one CPU to a few hundred.
double radius_of(uint32_t threads) {
  return std::min(9.0, 2.2 + 1.0 * std::log2(std::max(1.0, static_cast<double>(threads))));
}

struct Bands {
  std::vector<std::size_t> drawn;  // group numbers, in the report's order
  double height = 0.0;             // of the drawn bands together
  std::size_t hidden_groups = 0;
  std::size_t hidden_hosts = 0;
  std::size_t hidden_flagged = 0;
};

// Which groups fit: the ones with flagged hosts first, then the largest;
// drawn in the report's order.
Bands choose_bands(const FleetReport& report) {
  std::vector<std::size_t> priority(report.groups.size());
  for (std::size_t index = 0; index < priority.size(); ++index) priority[index] = index;
  std::stable_sort(priority.begin(), priority.end(), [&](std::size_t a, std::size_t b) {
    const bool flagged_a = flagged_count(report.groups[a]) > 0;
    const bool flagged_b = flagged_count(report.groups[b]) > 0;
    if (flagged_a != flagged_b) return flagged_a;
    return report.groups[a].hosts.size() > report.groups[b].hosts.size();
  });
  Bands bands;
  for (const std::size_t index : priority) {
    const Group& group = report.groups[index];
    const double height = band_height(group);
    if (SVG_TOP + bands.height + height + SVG_BOTTOM <= SVG_MAX_HEIGHT) {
      bands.drawn.push_back(index);
      bands.height += height;
    } else {
      ++bands.hidden_groups;
      bands.hidden_hosts += group.hosts.size();
      bands.hidden_flagged += flagged_count(group);
    }
  }
  std::sort(bands.drawn.begin(), bands.drawn.end());
  return bands;
}

// Percent from the group's median to a pixel, one scale for every band.
struct Scale {
  std::vector<double> ticks;
  double x(double percent) const {
    const double low = ticks.front();
    const double high = ticks.back();
    percent = std::clamp(percent, low, high);
    return SVG_LEFT + (percent - low) / (high - low) * (SVG_WIDTH - SVG_LEFT - SVG_RIGHT);
  }
};

Scale common_scale(const FleetReport& report, const Bands& bands) {
  double extent = 5.0;
  for (const std::size_t index : bands.drawn) {
    const Group& group = report.groups[index];
    for (const HostFigure& host : group.hosts) {
      extent = std::max(extent, std::min(EDGE, std::abs(deviation_percent(host, group))));
    }
  }
  return {nice_ticks(-extent * 1.05, extent * 1.05, 8)};
}

// Colour for the judgement, size for the worker count (at most six sizes:
// the smallest, the largest and some between).
void svg_legend(std::string& svg, const FleetReport& report, const Bands& bands) {
  std::vector<uint32_t> workers;
  for (const std::size_t index : bands.drawn) workers.push_back(report.groups[index].threads);
  std::sort(workers.begin(), workers.end());
  workers.erase(std::unique(workers.begin(), workers.end()), workers.end());
  double x = 12.0;
  const auto item = [&](const std::string& mark, const std::string& text, double width) {
    svg += mark + fmt::format("<text x=\"{:.1f}\" y=\"48\">{}</text>\n", x + 10.0, text);
    x += width;
  };
  item(fmt::format(R"(<circle cx="{:.1f}" cy="44" r="4" fill="{}"/>)", x, SLOW), "slow", 48.0);
  item(fmt::format(R"(<circle cx="{:.1f}" cy="44" r="4" fill="{}"/>)", x, FAST), "fast", 48.0);
  item(fmt::format(R"(<circle cx="{:.1f}" cy="44" r="4" fill="{}" fill-opacity="0.55"/>)", x,
                   NORMAL),
       "within its group", 112.0);
  item(fmt::format("<circle cx=\"{:.1f}\" cy=\"44\" r=\"4\" fill=\"white\" stroke=\"{}\" "
                   "stroke-width=\"1.5\"/>",
                   x, NORMAL),
       "unstable runs", 100.0);
  item(fmt::format("<rect x=\"{:.1f}\" y=\"38\" width=\"8\" height=\"12\" fill=\"none\" "
                   "stroke=\"#222222\"/>",
                   x - 4.0),
       "middle half, median", 132.0);
  svg += fmt::format("<text x=\"{:.1f}\" y=\"48\">workers:</text>\n", x);
  x += 52.0;
  std::vector<uint32_t> shown = workers;
  if (shown.size() > 6) {
    shown.clear();
    for (std::size_t step = 0; step < 6; ++step)
      shown.push_back(workers[step * (workers.size() - 1) / 5]);
    shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
  }
  for (const uint32_t threads : shown) {
    const double r = radius_of(threads);
    svg += fmt::format(
        "<circle cx=\"{:.1f}\" cy=\"44\" r=\"{:.1f}\" fill=\"{}\" fill-opacity=\"0.55\"/>"
        "<text x=\"{:.1f}\" y=\"48\">{}</text>\n",
        x + r, r, NORMAL, x + 2.0 * r + 3.0, threads);
    x += 2.0 * r + 12.0 + 7.0 * static_cast<double>(fmt::formatted_size("{}", threads));
  }
}

// The axis above and below the bands, so that a tall picture keeps one in view.
void svg_axes(std::string& svg, const Scale& scale, double plot_top, double plot_bottom) {
  svg += fmt::format(
      "<text x=\"{:.1f}\" y=\"70\" text-anchor=\"middle\">rate against the median of the host's "
      "group (same CPU, label, workers, library)</text>\n",
      (SVG_LEFT + SVG_WIDTH - SVG_RIGHT) / 2.0);
  for (const double tick : scale.ticks) {
    const std::string text = tick == 0.0 ? std::string("0") : fmt::format("{:+g} %", tick);
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"{3}\"/>\n"
        "<text x=\"{0:.1f}\" y=\"{4:.1f}\" text-anchor=\"middle\">{5}</text>"
        "<text x=\"{0:.1f}\" y=\"{6:.1f}\" text-anchor=\"middle\">{5}</text>\n",
        scale.x(tick), plot_top, plot_bottom, tick == 0.0 ? "#888888" : "#e4e4e4", plot_top - 4.0,
        text, plot_bottom + 14.0);
  }
}

std::string fit(const std::string& text, std::size_t count) {
  const std::string shown = printable(text);
  return characters(shown) <= count ? shown : first_characters(shown, count - 1) + "\u2026";
}

// The middle half of the hosts as an outlined box with the median, drawn
// over the dots so that a dense crowd keeps it visible.
std::string svg_box(const Group& group, const Scale& scale, double middle) {
  std::vector<double> deviations;
  for (const HostFigure& host : group.hosts) deviations.push_back(deviation_percent(host, group));
  if (deviations.size() < 3) return "";
  std::sort(deviations.begin(), deviations.end());
  const auto quantile = [&deviations](double q) {
    const double at = q * static_cast<double>(deviations.size() - 1);
    const auto below = static_cast<std::size_t>(at);
    const std::size_t above = std::min(below + 1, deviations.size() - 1);
    return deviations[below] +
           (deviations[above] - deviations[below]) * (at - static_cast<double>(below));
  };
  const double q1 = scale.x(quantile(0.25));
  const double q3 = scale.x(quantile(0.75));
  return fmt::format(
      "<rect x=\"{0:.1f}\" y=\"{1:.1f}\" width=\"{2:.1f}\" height=\"{3:.1f}\" fill=\"none\" "
      "stroke=\"#222222\" stroke-width=\"1.2\"/>\n"
      "<line x1=\"{4:.1f}\" y1=\"{1:.1f}\" x2=\"{4:.1f}\" y2=\"{5:.1f}\" stroke=\"#222222\" "
      "stroke-width=\"2\"/>\n",
      q1, middle - 11.0, std::max(1.0, q3 - q1), 22.0, scale.x(quantile(0.5)), middle + 11.0);
}

// Every host as a dot, flagged ones last so that none hides under the crowd.
void svg_dots(std::string& svg, const Group& group, const Scale& scale, double middle) {
  const double r = radius_of(group.threads);
  std::string flagged_dots;
  std::size_t dot = 0;
  for (const HostFigure& host : group.hosts) {
    const double deviation = deviation_percent(host, group);
    // Spread the dots over the band, the same way on every run.
    const double jitter = (static_cast<double>((dot++ * 2654435761u) % 1000) / 1000.0 - 0.5) *
                          (SVG_ROW - 2.0 * r - 6.0);
    const char* colour = host.flag == "slow" ? SLOW : host.flag == "fast" ? FAST : NORMAL;
    const std::string paint =
        host.unstable ? fmt::format(R"(fill="white" stroke="{}" stroke-width="1.5")", colour)
                      : fmt::format(R"(fill="{}" fill-opacity="{}")", colour,
                                    host.flag.empty() ? "0.55" : "1");
    (host.flag.empty() ? svg : flagged_dots) += fmt::format(
        "<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"{:.1f}\" {}><title>{}: {} steps/s, {:+.2f} "
        "%{}</title></circle>\n",
        scale.x(deviation), host.flag.empty() ? middle + jitter : middle, r, paint,
        xml_escape(printable(host_name(host))), grouped(host.median_rate), deviation,
        host.z ? fmt::format(", z {:+.2f}", *host.z) : "");
  }
  svg += svg_box(group, scale, middle) + flagged_dots;
}

// The flagged hosts, named, slowest first, each with its label and a faint
// leader from its dot, so that two flags in one band are told apart.
void svg_names(std::string& svg, const Group& group, const Scale& scale, double middle) {
  std::vector<const HostFigure*> flagged;
  for (const HostFigure& host : group.hosts) {
    if (!host.flag.empty()) flagged.push_back(&host);
  }
  std::stable_sort(flagged.begin(), flagged.end(),
                   [](const HostFigure* a, const HostFigure* b) { return *a->z < *b->z; });
  const double r = radius_of(group.threads);
  double line_y =
      middle -
      static_cast<double>(std::min(flagged.size(), NAMES_PER_ROW + 1) - 1) * NAME_LINE / 2.0 + 4.0;
  for (std::size_t at = 0; at < flagged.size() && at < NAMES_PER_ROW; ++at) {
    const HostFigure& host = *flagged[at];
    const char* colour = host.flag == "slow" ? SLOW : FAST;
    svg += fmt::format(
        "<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"{}\" "
        "stroke-opacity=\"0.35\"/>\n",
        scale.x(deviation_percent(host, group)) + r, middle, SVG_WIDTH - SVG_RIGHT + 6.0,
        line_y - 4.0, colour);
    svg += fmt::format(
        "<text x=\"{:.1f}\" y=\"{:.1f}\" fill=\"{}\">{}</text>\n", SVG_WIDTH - SVG_RIGHT + 10.0,
        line_y, colour,
        xml_escape(first_characters(
            printable(fmt::format("{} {} z {:+.1f} ({:+.1f} %, {})", host_name(host), host.flag,
                                  *host.z, deviation_percent(host, group), group.label)),
            42)));
    line_y += NAME_LINE;
  }
  if (flagged.size() > NAMES_PER_ROW) {
    svg += fmt::format(
        "<text x=\"{:.1f}\" y=\"{:.1f}\" fill=\"#444444\">and {} more flagged "
        "(see the text report)</text>\n",
        SVG_WIDTH - SVG_RIGHT + 10.0, line_y, flagged.size() - NAMES_PER_ROW);
  }
  if (!group.no_flags_reason.empty() && flagged.empty()) {
    svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" fill=\"#777777\">not judged: {}</text>\n",
                       SVG_WIDTH - SVG_RIGHT + 10.0, middle + 4.0,
                       group.hosts.size() < 3 ? "fewer than 3 hosts" : "no spread");
  }
}

// One group's band from `top`: its title, its strip and its flagged names.
void svg_band(std::string& svg, const Group& group, const Scale& scale, double top, bool shade) {
  const double height = band_height(group);
  const double middle = top + height / 2.0;
  if (shade) {
    svg += fmt::format(
        "<rect x=\"0\" y=\"{:.1f}\" width=\"{:.0f}\" height=\"{:.1f}\" fill=\"#000000\" "
        "fill-opacity=\"0.035\"/>\n",
        top, SVG_WIDTH, height);
  }
  svg += fmt::format(
      "<text x=\"8\" y=\"{:.1f}\" font-weight=\"bold\">{}</text>\n"
      "<text x=\"8\" y=\"{:.1f}\" fill=\"#444444\">{}</text>\n",
      middle - 3.0, xml_escape(fit(group.cpu_model, 40)), middle + 10.0,
      xml_escape(
          fit(fmt::format("{} \u00b7 {}, {} \u00b7 {}", group.arch, group.label,
                          plural(group.threads, "worker"), plural(group.hosts.size(), "host")),
              46)));
  svg_dots(svg, group, scale, middle);
  svg_names(svg, group, scale, middle);
}

}  // namespace

std::string report_svg(const FleetReport& report) {
  const Bands bands = choose_bands(report);
  const Scale scale = common_scale(report, bands);
  const double height = SVG_TOP + bands.height + SVG_BOTTOM;
  std::string svg = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0:.0f}\" height=\"{1:.0f}\" "
      "viewBox=\"0 0 {0:.0f} {1:.0f}\" font-family=\"sans-serif\" font-size=\"11\">\n"
      "<title>tarnwick report: each group's hosts against its median</title>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      "<text x=\"{2:.1f}\" y=\"22\" text-anchor=\"middle\" font-size=\"15\" "
      "font-weight=\"bold\">tarnwick report: {3} hosts in {4}, {5} flagged</text>\n",
      SVG_WIDTH, height, SVG_WIDTH / 2.0, report.hosts.size(),
      plural(report.groups.size(), "group"), report.outliers.size());
  svg_legend(svg, report, bands);
  const double plot_bottom = SVG_TOP + bands.height;
  svg_axes(svg, scale, SVG_TOP - 8.0, plot_bottom);
  double top = SVG_TOP;
  bool shade = false;
  for (const std::size_t index : bands.drawn) {
    svg_band(svg, report.groups[index], scale, top, shade);
    top += band_height(report.groups[index]);
    shade = !shade;
  }
  std::string footer = fmt::format("figures beyond \u00b1{:g} % are drawn at the edge", EDGE);
  if (bands.hidden_groups > 0) {
    footer = fmt::format(
        "{} more {} ({}{}) not drawn, to keep the picture readable: see the text "
        "report or --csv",
        bands.hidden_groups, agree(bands.hidden_groups, "group", "groups"),
        plural(bands.hidden_hosts, "host"),
        bands.hidden_flagged > 0 ? fmt::format(", {} flagged", bands.hidden_flagged) : "");
  }
  svg += fmt::format("<text x=\"8\" y=\"{:.1f}\" fill=\"#444444\">{}</text>\n", plot_bottom + 40.0,
                     xml_escape(footer));
  svg += "</svg>\n";
  return svg;
}

}  // namespace tarnwick::fleet
