#include "formats/svg.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>

#include "document/label.hpp"
#include "document/repetition_summary.hpp"
#include "util/numbers.hpp"
#include "util/svg.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

constexpr double WIDTH = 800.0;
constexpr double HEIGHT = 360.0;
constexpr double LEFT = 100.0;
constexpr double RIGHT = 24.0;
constexpr double TOP = 72.0;
constexpr double BOTTOM = 52.0;
constexpr const char* LINE_COLOUR = "#1f5fa8";
constexpr const char* MEAN_COLOUR = "#c0392b";
constexpr const char* DISTURBED_COLOUR = "#e67e22";
// One colour per label in the distribution panel, in the order labels ran.
constexpr std::array<const char*, 3> LABEL_COLOURS = {"#1f5fa8", "#d35400", "#27ae60"};
// Beyond this many runs a panel each is too tall to read: one panel shows
// them all side by side.
constexpr std::size_t MAX_PANELS = 6;
// Pixels per mark in the distribution panel; more runs share a mark.
constexpr double MARK_PITCH = 3.0;

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

// Of a completed run; 0 without a CV.
double sd_of(const Result& result) {
  return result.cv_percent ? *result.cv_percent / 100.0 * result.mean_rate.value_or(0.0) : 0.0;
}

// The rate axis every panel of a chart shares, from zero (a 15 % dip must
// look like 15 %, not like a cliff) to above the highest rate of any run, so
// that panels compare at a glance.
std::vector<double> rate_ticks(const std::vector<RunReport>& runs) {
  double high = 0.0;
  for (const RunReport& run : runs) {
    if (run.result.mean_rate) high = std::max(high, *run.result.mean_rate + sd_of(run.result));
    for (const Sample& sample : run.result.samples) high = std::max(high, sample.rate);
  }
  if (!std::isfinite(high)) high = 0.0;
  // Room above the data.
  return nice_ticks(0.0, high + std::max(high * 0.08, 1.0));
}

// A centred line of text, smaller rather than cut where it is long: sans
// glyphs average about 0.62 em (bold) or 0.56 em.
std::string centred_text(const std::string& text, double y, double size, bool bold) {
  const double em = bold ? 0.62 : 0.56;
  const double fitted =
      std::min(size, (WIDTH - 24.0) /
                         (em * static_cast<double>(std::max<std::size_t>(characters(text), 1))));
  return fmt::format(
      "<text x=\"{:.1f}\" y=\"{:.0f}\" text-anchor=\"middle\" font-size=\"{:.1f}\"{}>{}</text>\n",
      WIDTH / 2.0, y, fitted, bold ? " font-weight=\"bold\"" : "", xml_escape(text));
}

// Grid lines, tick labels, the axes and their names.
std::string axes(const Frame& frame, const std::vector<double>& x_ticks,
                 const std::vector<double>& y_ticks, const std::string& x_name) {
  std::string svg;
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
  svg += fmt::format(
      "<polyline points=\"{0:.1f},{1:.1f} {0:.1f},{2:.1f} {3:.1f},{2:.1f}\" fill=\"none\" "
      "stroke=\"#333333\"/>\n",
      LEFT, TOP, HEIGHT - BOTTOM, WIDTH - RIGHT);
  svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">{}</text>\n",
                     (LEFT + WIDTH - RIGHT) / 2.0, HEIGHT - 12.0, x_name);
  svg += fmt::format(
      "<text transform=\"translate(16 {:.1f}) rotate(-90)\" text-anchor=\"middle\">"
      "rate (steps/s, all workers)</text>\n",
      (TOP + HEIGHT - BOTTOM) / 2.0);
  return svg;
}

// "all-cpus · run 2 of 3": which run a panel is; the number only where the
// label ran more than once.
std::string run_name(const RunReport& run, unsigned runs_of_label) {
  if (runs_of_label < 2) return run.label;
  return fmt::format("{} \u00b7 run {} of {}", run.label, run.repetition, runs_of_label);
}

std::string figures_of(const RunReport& run, std::optional<double> scaling_figure) {
  const Result& result = run.result;
  std::string text = workers_text(run);
  if (result.mean_rate) {
    text += fmt::format(" \u00b7 mean {} steps/s", grouped(*result.mean_rate));
    text += result.cv_percent ? fmt::format(" \u00b7 CV {:.2f} % ({})", *result.cv_percent,
                                            result.unstable ? "unstable" : "stable")
                              : std::string(" \u00b7 CV n/a");
  } else {
    text += fmt::format(" \u00b7 {}, no mean", name(result.status));
  }
  if (scaling_figure) text += fmt::format(" \u00b7 scaling {:.3f}", *scaling_figure);
  return text;
}

// "second 12: steal 8.0 %, other processes 0.70 of the run's CPUs".
std::string disturbed_tip(const RunReport& run, std::size_t index) {
  std::string tip = fmt::format("second {}: disturbed", index + 1);
  if (index < run.sample_noise.size() && run.sample_noise[index]) {
    const SecondNoise& noise = *run.sample_noise[index];
    if (noise.steal_percent) tip += fmt::format(", steal {:.1f} %", *noise.steal_percent);
    if (noise.other_cpus_run) {
      tip += fmt::format(", other processes {:.2f} of the run's CPUs", *noise.other_cpus_run);
    }
  }
  return tip;
}

std::string panel(const RunReport& run, const std::string& heading, const std::string& version,
                  std::optional<double> scaling_figure, double x_end,
                  const std::vector<double>& y_ticks) {
  const bool has_mean = run.result.mean_rate.has_value();
  const double mean = run.result.mean_rate.value_or(0.0);
  const double sd = sd_of(run.result);
  // The time axis ends with the longest window, not at the next round number.
  std::vector<double> x_ticks = nice_ticks(0.0, x_end, 6);
  std::erase_if(x_ticks, [x_end](double tick) { return tick > x_end * (1.0 + 1e-9); });
  const Frame frame{0.0, x_end, y_ticks.front(), y_ticks.back()};

  std::string svg =
      centred_text(fmt::format("tarnwick {} \u00b7 {}", version, heading), 24.0, 15.0, true);
  svg += centred_text(figures_of(run, scaling_figure), 44.0, 12.0, false);
  svg += axes(frame, x_ticks, y_ticks, "time in the measured window (s)");
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
  // Seconds past the disturbance thresholds, shaded behind the rate.
  for (const std::size_t index : run.disturbed_samples) {
    if (index >= run.result.samples.size()) continue;
    const Sample& sample = run.result.samples[index];
    const double begin = frame.x((sample.time - sample.duration).count());
    svg += fmt::format(
        "<rect class=\"disturbed\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" "
        "height=\"{:.1f}\" fill=\"{}\" fill-opacity=\"0.18\"><title>{}</title></rect>\n",
        begin, TOP, std::max(frame.x(sample.time.count()) - begin, 0.5), HEIGHT - TOP - BOTTOM,
        DISTURBED_COLOUR, xml_escape(disturbed_tip(run, index)));
  }
  // Each sample is an interval at one rate, so the series is drawn as steps.
  if (!run.result.samples.empty()) {
    std::string path;
    for (const Sample& sample : run.result.samples) {
      const double end = sample.time.count();
      const double begin = (sample.time - sample.duration).count();
      path += fmt::format("{}{:.2f},{:.2f} L{:.2f},{:.2f} ", path.empty() ? "M" : "L",
                          frame.x(begin), frame.y(sample.rate), frame.x(end), frame.y(sample.rate));
    }
    svg += fmt::format("<path d=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"2\"/>\n", path,
                       LINE_COLOUR);
  } else {
    svg += fmt::format(
        "<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\" fill=\"#888888\">"
        "no samples</text>\n",
        WIDTH / 2.0, (TOP + HEIGHT - BOTTOM) / 2.0);
  }
  const double legend_x = WIDTH - RIGHT - 270.0;
  svg += fmt::format(
      "<line x1=\"{0:.1f}\" y1=\"58\" x2=\"{1:.1f}\" y2=\"58\" stroke=\"{2}\" stroke-width=\"2\"/>"
      "<text x=\"{3:.1f}\" y=\"62\">per-second rate</text>\n",
      legend_x, legend_x + 18.0, LINE_COLOUR, legend_x + 22.0);
  if (!run.disturbed_samples.empty()) {
    svg += fmt::format(
        "<rect x=\"{:.1f}\" y=\"53\" width=\"18\" height=\"10\" fill=\"{}\" "
        "fill-opacity=\"0.18\"/><text x=\"{:.1f}\" y=\"62\">disturbed second</text>\n",
        legend_x - 140.0, DISTURBED_COLOUR, legend_x - 118.0);
  }
  if (has_mean) {
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"58\" x2=\"{1:.1f}\" y2=\"58\" stroke=\"{2}\" "
        "stroke-dasharray=\"6 4\"/><text x=\"{3:.1f}\" y=\"62\">mean</text>\n"
        "<rect x=\"{4:.1f}\" y=\"53\" width=\"18\" height=\"10\" fill=\"{2}\" "
        "fill-opacity=\"0.12\"/><text x=\"{5:.1f}\" y=\"62\">\u00b1 1 sd</text>\n",
        legend_x + 125.0, legend_x + 143.0, MEAN_COLOUR, legend_x + 147.0, legend_x + 195.0,
        legend_x + 217.0);
  }
  return svg;
}

// Consecutive runs of one label that share a mark of the distribution panel.
struct Mark {
  unsigned first = 0, last = 0;             // repetitions
  std::optional<double> mean;               // of the completed runs' means
  double low = HUGE_VAL, high = -HUGE_VAL;  // per-second rates, or the means
};

std::vector<Mark> marks_of(const std::vector<const RunReport*>& runs, std::size_t count) {
  std::vector<Mark> marks;
  for (std::size_t index = 0; index < count; ++index) {
    const std::size_t begin = index * runs.size() / count;
    const std::size_t end = (index + 1) * runs.size() / count;
    if (begin == end) continue;
    Mark mark;
    mark.first = runs[begin]->repetition;
    mark.last = runs[end - 1]->repetition;
    double sum = 0.0;
    std::size_t completed = 0;
    for (std::size_t at = begin; at < end; ++at) {
      const RunReport& run = *runs[at];
      if (const std::optional<double>& mean = run.result.mean_rate) {
        sum += *mean;
        ++completed;
        mark.low = std::min(mark.low, *mean);
        mark.high = std::max(mark.high, *mean);
      }
      for (const Sample& sample : run.result.samples) {
        mark.low = std::min(mark.low, sample.rate);
        mark.high = std::max(mark.high, sample.rate);
      }
    }
    if (completed > 0) mark.mean = sum / static_cast<double>(completed);
    if (mark.mean || mark.high >= mark.low) marks.push_back(mark);
  }
  return marks;
}

// The panel's title and, per label, the median of its runs and their spread.
std::string panel_heading(const Session& session) {
  std::string heading =
      fmt::format("tarnwick {} \u00b7 {} runs", session.version, session.runs.size());
  std::string figures;
  for (const RepetitionSummary& summary : summarize_repetitions(session)) {
    figures +=
        fmt::format("{}{}: median {} steps/s, spread {:.1f} %", figures.empty() ? "" : " \u00b7 ",
                    summary.label, grouped(summary.median_mean_rate), summary.spread_percent);
  }
  if (const auto figure = median_scaling(session)) {
    figures += fmt::format(" \u00b7 scaling {:.3f}", *figure);
  }
  std::string svg = centred_text(heading, 24.0, 15.0, true);
  svg +=
      centred_text(figures.empty() ? std::string("no completed run") : figures, 44.0, 12.0, false);
  return svg;
}

// One label's marks: a dot for the mean and a bar for the per-second range
// of each run, or of neighbouring runs sharing a mark (then `shared`).
std::string label_marks(const std::vector<const RunReport*>& runs, const std::string& label,
                        const Frame& frame, double shift, double radius, std::size_t mark_count,
                        bool& shared) {
  std::string marks;
  for (const Mark& mark : marks_of(runs, std::min(runs.size(), mark_count))) {
    shared = shared || mark.last != mark.first;
    const double x = frame.x((mark.first + mark.last) / 2.0) + shift;
    const std::string which = mark.first == mark.last
                                  ? fmt::format("{} run {}", label, mark.first)
                                  : fmt::format("{} runs {} to {}", label, mark.first, mark.last);
    const std::string tip = fmt::format(
        "{}: {}per second {} to {} steps/s", which,
        mark.mean ? fmt::format("mean {} steps/s, ", grouped(*mark.mean)) : std::string(),
        grouped(mark.low), grouped(mark.high));
    marks += fmt::format("<g><title>{}</title>", xml_escape(tip));
    if (mark.high >= mark.low) {
      marks += fmt::format(
          "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" "
          "stroke-opacity=\"0.45\" stroke-width=\"1.5\"/>",
          x, frame.y(mark.low), frame.y(mark.high));
    }
    if (mark.mean) {
      marks += fmt::format(R"(<circle cx="{:.1f}" cy="{:.1f}" r="{:.1f}"/>)", x,
                           frame.y(*mark.mean), radius);
    }
    marks += "</g>\n";
  }
  return marks;
}

// Every run in one panel: per label, each run's mean as a dot and the range
// of its per-second rates as a bar, against the run's number. Past one mark
// every MARK_PITCH pixels, neighbouring runs share a mark, so the chart
// stays the same size for ten runs or ten thousand.
std::string distribution_panel(const Session& session, const std::vector<double>& y_ticks) {
  std::vector<std::string> labels;
  std::vector<std::vector<const RunReport*>> runs_by_label;
  unsigned last_repetition = 1;
  for (const RunReport& run : session.runs) {
    const auto found = std::find(labels.begin(), labels.end(), run.label);
    const auto at = static_cast<std::size_t>(found - labels.begin());
    if (found == labels.end()) {
      labels.push_back(run.label);
      runs_by_label.emplace_back();
    }
    runs_by_label[at].push_back(&run);
    last_repetition = std::max(last_repetition, run.repetition);
  }
  const Frame frame{0.5, last_repetition + 0.5, y_ticks.front(), y_ticks.back()};
  std::vector<double> x_ticks = nice_ticks(1.0, last_repetition, 8);
  std::erase_if(x_ticks, [last_repetition](double tick) {
    return tick < 1.0 || tick > last_repetition || tick != std::floor(tick);
  });

  std::string svg = panel_heading(session);
  svg += axes(frame, x_ticks, y_ticks, "run");

  const auto plot_width = WIDTH - LEFT - RIGHT;
  const auto mark_count = static_cast<std::size_t>(plot_width / MARK_PITCH);
  bool shared = false;
  // Marks as large as the room between runs allows.
  const double radius = std::clamp(plot_width / last_repetition * 0.05, 1.5, 3.5);
  for (std::size_t label = 0; label < labels.size(); ++label) {
    const char* colour = LABEL_COLOURS[label % LABEL_COLOURS.size()];
    // Labels side by side at one run's place, not on top of each other.
    const double shift =
        (static_cast<double>(label) - static_cast<double>(labels.size() - 1) / 2.0) * radius * 1.6;
    const std::vector<const RunReport*>& runs = runs_by_label[label];
    const std::string marks =
        label_marks(runs, labels[label], frame, shift, radius, mark_count, shared);
    svg += fmt::format("<g stroke=\"{0}\" fill=\"{0}\">\n{1}</g>\n", colour, marks);
    const double legend_x = LEFT + 8.0 + 110.0 * static_cast<double>(label);
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"53\" x2=\"{0:.1f}\" y2=\"65\" stroke=\"{1}\" "
        "stroke-opacity=\"0.45\" stroke-width=\"1.5\"/><circle cx=\"{0:.1f}\" cy=\"59\" "
        "r=\"2.2\" fill=\"{1}\"/><text x=\"{2:.1f}\" y=\"63\">{3}</text>\n",
        legend_x, colour, legend_x + 8.0, xml_escape(labels[label]));
  }
  svg += fmt::format(
      "<text x=\"{:.1f}\" y=\"63\" text-anchor=\"end\" fill=\"#555555\">{}</text>\n", WIDTH - RIGHT,
      shared ? "dot: mean of neighbouring runs' means \u00b7 bar: their per-second range"
             : "dot: a run's mean \u00b7 bar: its per-second range");
  return svg;
}

}  // namespace

std::string session_svg(const Session& session) {
  const bool one_panel = session.runs.size() > MAX_PANELS;
  const std::size_t panels = one_panel ? 1 : std::max<std::size_t>(session.runs.size(), 1);
  std::string svg = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0:.0f}\" height=\"{1:.0f}\" "
      "viewBox=\"0 0 {0:.0f} {1:.0f}\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<title>tarnwick {2}: per-second rates</title>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n",
      WIDTH, HEIGHT * static_cast<double>(panels), xml_escape(session.version));
  const std::vector<double> y_ticks = rate_ticks(session.runs);
  if (one_panel) {
    svg += "<g>\n" + distribution_panel(session, y_ticks) + "</g>\n</svg>\n";
    return svg;
  }
  // One time axis too: a run cancelled early shows where it stopped.
  double x_end = 0.0;
  std::map<std::string, unsigned> runs_of_label;
  for (const RunReport& run : session.runs) {
    x_end = std::max(x_end, run.result.measured.count());
    for (const Sample& sample : run.result.samples) x_end = std::max(x_end, sample.time.count());
    ++runs_of_label[run.label];
  }
  if (!(x_end > 0.0) || !std::isfinite(x_end)) x_end = 1.0;
  const std::vector<RunPair> pairs = repetition_pairs(session);
  for (std::size_t index = 0; index < session.runs.size(); ++index) {
    svg +=
        fmt::format("<g transform=\"translate(0 {:.0f})\">\n", HEIGHT * static_cast<double>(index));
    // The all-CPUs panel of a pair carries the pair's scaling figure; runs
    // pair by repetition, as in the repetition summary.
    const RunReport& run = session.runs[index];
    std::optional<double> figure;
    for (const RunPair& pair : pairs) {
      if (pair.all_cpus == &run) figure = scaling(*pair.single, run);
    }
    svg += panel(run, run_name(run, runs_of_label[run.label]), session.version, figure, x_end,
                 y_ticks);
    svg += "</g>\n";
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace tarnwick
