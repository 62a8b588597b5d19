#include "formats/svg.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "formats/numbers.hpp"
#include "formats/text.hpp"

namespace tarnwick {
namespace {

constexpr double WIDTH = 800.0;
constexpr double HEIGHT = 360.0;
constexpr double LEFT = 100.0;
constexpr double RIGHT = 24.0;
constexpr double TOP = 56.0;
constexpr double BOTTOM = 52.0;
constexpr const char* LINE_COLOUR = "#1f5fa8";
constexpr const char* MEAN_COLOUR = "#c0392b";

// Maps data coordinates to the panel's pixels.
struct Frame {
  double x_low, x_high, y_low, y_high;
  [[nodiscard]] double x(double value) const {
    return LEFT + (value - x_low) / (x_high - x_low) * (WIDTH - LEFT - RIGHT);
  }
  [[nodiscard]] double y(double value) const {
    return HEIGHT - BOTTOM - (value - y_low) / (y_high - y_low) * (HEIGHT - TOP - BOTTOM);
  }
};

std::string tick_label(double value, double step) {
  if (step >= 1.0) return grouped(value);
  return fmt::format("{:g}", value);
}

std::string title_of(const RunReport& run, const std::string& version,
                     std::optional<double> scaling_figure) {
  const tarnwick_result_t& result = run.result;
  std::string title = fmt::format("tarnwick {} \u00b7 {}", version, workers_text(run));
  if (result.status == TARNWICK_STATUS_COMPLETED) {
    title += fmt::format(" \u00b7 mean {} steps/s", grouped(result.mean_rate));
    title += result.has_cv != 0 ? fmt::format(" \u00b7 CV {:.2f} % ({})", result.cv_percent,
                                              result.unstable != 0 ? "unstable" : "stable")
                                : std::string(" \u00b7 CV n/a");
  } else {
    title += fmt::format(" \u00b7 {}, no mean", status_name(result.status));
  }
  if (scaling_figure) title += fmt::format(" \u00b7 scaling {:.3f}", *scaling_figure);
  return title;
}

std::string panel(const RunReport& run, const std::string& version,
                  std::optional<double> scaling_figure) {
  const tarnwick_result_t& result = run.result;
  const bool has_mean = result.status == TARNWICK_STATUS_COMPLETED;
  const double mean = result.mean_rate;
  const double sd = result.has_cv != 0 ? result.cv_percent / 100.0 * mean : 0.0;

  double x_end = result.measured_seconds;
  double y_low = has_mean ? mean - sd : HUGE_VAL;
  double y_high = has_mean ? mean + sd : -HUGE_VAL;
  for (const tarnwick_sample_t& sample : run.samples) {
    x_end = std::max(x_end, sample.time);
    y_low = std::min(y_low, sample.rate);
    y_high = std::max(y_high, sample.rate);
  }
  if (!(y_high >= y_low)) y_low = y_high = 0.0;
  // Room above and below the data; rates are never negative.
  const double pad = std::max(std::abs(y_high) * 0.08, 1.0);
  // From zero: a 15 % dip must look like 15 %, not like a cliff.
  const std::vector<double> y_ticks = nice_ticks(0.0, y_high + pad);
  // The time axis ends with the window, not at the next round number.
  if (!(x_end > 0.0)) x_end = 1.0;
  std::vector<double> x_ticks = nice_ticks(0.0, x_end, 6);
  std::erase_if(x_ticks, [x_end](double tick) { return tick > x_end * (1.0 + 1e-9); });
  const Frame frame{0.0, x_end, y_ticks.front(), y_ticks.back()};

  // A long title (many workers, a scaling figure) gets a smaller font rather
  // than losing its end past the panel's edge; bold sans glyphs average
  // about 0.62 em.
  const std::string title = title_of(run, version, scaling_figure);
  const double title_size =
      std::min(15.0, (WIDTH - 24.0) / (0.62 * static_cast<double>(characters(title))));
  std::string svg;
  svg += fmt::format(
      "<text x=\"{:.1f}\" y=\"26\" text-anchor=\"middle\" font-size=\"{:.1f}\" "
      "font-weight=\"bold\">{}</text>\n",
      WIDTH / 2.0, title_size, xml_escape(title));
  // Grid and tick labels.
  const double y_step = y_ticks.size() > 1 ? y_ticks[1] - y_ticks[0] : 1.0;
  for (const double tick : y_ticks) {
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{2:.1f}\" y2=\"{1:.1f}\" stroke=\"#dddddd\"/>\n"
        "<text x=\"{3:.1f}\" y=\"{4:.1f}\" text-anchor=\"end\">{5}</text>\n",
        LEFT, frame.y(tick), WIDTH - RIGHT, LEFT - 6.0, frame.y(tick) + 4.0,
        tick_label(tick, y_step));
  }
  for (const double tick : x_ticks) {
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"#eeeeee\"/>\n"
        "<text x=\"{0:.1f}\" y=\"{3:.1f}\" text-anchor=\"middle\">{4}</text>\n",
        frame.x(tick), TOP, HEIGHT - BOTTOM, HEIGHT - BOTTOM + 16.0, fmt::format("{:g}", tick));
  }
  if (has_mean && sd > 0.0) {
    svg += fmt::format(
        "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"{}\" "
        "fill-opacity=\"0.12\"><title>mean \u00b1 1 sd: {} to {} steps/s</title></rect>\n",
        LEFT, frame.y(mean + sd), WIDTH - LEFT - RIGHT, frame.y(mean - sd) - frame.y(mean + sd),
        MEAN_COLOUR, grouped(mean - sd), grouped(mean + sd));
  }
  if (has_mean) {
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{2:.1f}\" y2=\"{1:.1f}\" stroke=\"{3}\" "
        "stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n",
        LEFT, frame.y(mean), WIDTH - RIGHT, MEAN_COLOUR);
  }
  // Each sample is an interval at one rate, so the series is drawn as steps.
  if (!run.samples.empty()) {
    std::string path;
    for (const tarnwick_sample_t& sample : run.samples) {
      const double begin = sample.time - sample.duration;
      path +=
          fmt::format("{}{:.2f},{:.2f} L{:.2f},{:.2f} ", path.empty() ? "M" : "L", frame.x(begin),
                      frame.y(sample.rate), frame.x(sample.time), frame.y(sample.rate));
    }
    svg += fmt::format("<path d=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"2\"/>\n", path,
                       LINE_COLOUR);
  } else {
    svg += fmt::format(
        "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\" fill=\"#888888\">"
        "no samples</text>\n",
        WIDTH / 2.0, (TOP + HEIGHT - BOTTOM) / 2.0);
  }
  // Axes, their labels and the legend.
  svg += fmt::format(
      "<polyline points=\"{0:.1f},{1:.1f} {0:.1f},{2:.1f} {3:.1f},{2:.1f}\" fill=\"none\" "
      "stroke=\"#333333\"/>\n",
      LEFT, TOP, HEIGHT - BOTTOM, WIDTH - RIGHT);
  svg += fmt::format(
      "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">time in the measured window (s)"
      "</text>\n",
      (LEFT + WIDTH - RIGHT) / 2.0, HEIGHT - 12.0);
  svg += fmt::format(
      "<text transform=\"translate(16 {:.1f}) rotate(-90)\" text-anchor=\"middle\">"
      "rate (steps/s, all workers)</text>\n",
      (TOP + HEIGHT - BOTTOM) / 2.0);
  const double legend_x = WIDTH - RIGHT - 270.0;
  svg += fmt::format(
      "<line x1=\"{0:.1f}\" y1=\"42\" x2=\"{1:.1f}\" y2=\"42\" stroke=\"{2}\" stroke-width=\"2\"/>"
      "<text x=\"{3:.1f}\" y=\"46\">per-second rate</text>\n",
      legend_x, legend_x + 18.0, LINE_COLOUR, legend_x + 22.0);
  if (has_mean) {
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"42\" x2=\"{1:.1f}\" y2=\"42\" stroke=\"{2}\" "
        "stroke-dasharray=\"6 4\"/><text x=\"{3:.1f}\" y=\"46\">mean</text>\n"
        "<rect x=\"{4:.1f}\" y=\"37\" width=\"18\" height=\"10\" fill=\"{2}\" "
        "fill-opacity=\"0.12\"/><text x=\"{5:.1f}\" y=\"46\">\u00b1 1 sd</text>\n",
        legend_x + 125.0, legend_x + 143.0, MEAN_COLOUR, legend_x + 147.0, legend_x + 195.0,
        legend_x + 217.0);
  }
  return svg;
}

}  // namespace

std::vector<double> nice_ticks(double low, double high, int count) {
  if (!std::isfinite(low) || !std::isfinite(high)) return {0.0, 1.0};
  if (!(high > low)) high = low + std::max(1.0, std::abs(low) * 0.1);
  if (count < 1) count = 1;
  const double raw = (high - low) / count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = magnitude;
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    step = factor * magnitude;
    if (step >= raw) break;
  }
  // Ticks as whole multiples of the step, so no error accumulates.
  const double first = std::floor(low / step);
  const double last = std::ceil(high / step);
  std::vector<double> ticks;
  for (double k = first; k <= last && ticks.size() < static_cast<std::size_t>(count) + 3;
       k += 1.0) {
    ticks.push_back(k * step);
  }
  if (ticks.empty()) ticks.push_back(first * step);
  if (ticks.size() < 2) ticks.push_back(ticks.back() + step);
  return ticks;
}

std::string xml_escape(const std::string& text) {
  std::string escaped;
  // XML has no way to carry control characters: they are shown escaped.
  for (const char c : printable(text)) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string session_svg(const Session& session) {
  const std::size_t panels = std::max<std::size_t>(session.runs.size(), 1);
  std::string svg = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0:.0f}\" height=\"{1:.0f}\" "
      "viewBox=\"0 0 {0:.0f} {1:.0f}\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<title>tarnwick {2}: per-second rates</title>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n",
      WIDTH, HEIGHT * static_cast<double>(panels), xml_escape(session.version));
  for (std::size_t index = 0; index < session.runs.size(); ++index) {
    svg +=
        fmt::format("<g transform=\"translate(0 {:.0f})\">\n", HEIGHT * static_cast<double>(index));
    // The all-CPUs panel of a pair carries the pair's scaling figure.
    const RunReport& run = session.runs[index];
    std::optional<double> figure;
    if (run.label == "all-cpus" && index > 0 && session.runs[index - 1].label == "single") {
      figure = scaling(session.runs[index - 1], run);
    }
    svg += panel(run, session.version, figure);
    svg += "</g>\n";
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace tarnwick
