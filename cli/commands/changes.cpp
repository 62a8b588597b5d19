#include "commands/changes.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <variant>

#include "changes/changes.hpp"
#include "changes/ci.hpp"
#include "changes/history_page.hpp"
#include "commands/command_line.hpp"
#include "output/ci_report.hpp"
#include "output/messages.hpp"
#include "store/history.hpp"
#include "util/exit_status.hpp"
#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {
namespace {

// The window of --fail-on-change when --last is not given.
constexpr int64_t FAIL_WINDOW = 10;

const CLI::Validator PERCENT(
    [](const std::string& text) -> std::string {
      const auto value = parse_number(text);
      if (value && std::isfinite(*value) && *value >= 0 && *value <= 1000) return {};
      return fmt::format("expected a percentage from 0 to 1000, got '{}'", text);
    },
    "", "percentage");

std::string filter_text(const ChangesRequest& request) {
  std::string text;
  const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (request.host) add("host " + printable(*request.host));
  if (request.label) add("label " + printable(*request.label));
  if (!request.options->since.empty()) add("since " + request.options->since);
  return text;
}

// --junit and --markdown, when given (the files after --html).
std::optional<std::string> write_ci_reports(OpenedOutputs& opened, const ChangesReport& report) {
  if (auto& junit = opened.files[1]) {
    if (auto failure = junit->commit(junit_xml({changes_suite(report)}))) return failure;
  }
  if (auto& markdown = opened.files[2]) {
    return append_markdown(*markdown, markdown_tables({changes_table(report)}));
  }
  return std::nullopt;
}

// --fail-on-change's verdict, each failing shift or series not judged named.
int gate_status(const ChangesReport& report) {
  for (const FoundShift& shift : report.failing) {
    tell("tarnwick: {}: a shift of {} ending at run {}, the latest {} of its series{}\n",
         series_name(shift.series->key), signed_percent(shift.shift.change_percent),
         shift.last_run().id.substr(0, 12),
         shift.runs_since() == 1 ? std::string("run") : fmt::format("{} runs", shift.runs_since()),
         shift.shift.ongoing ? ", and still moving" : "");
  }
  if (!report.failing.empty()) return EXIT_GATE;
  // A series too short to judge is no pass: a gate must tell it apart.
  for (const RunSeries* one : report.found->not_judged) {
    tell("tarnwick: {}: not judged, {}\n", series_name(one->key),
         not_judged_text(*one, report.summary->options));
  }
  return report.found->not_judged.empty() ? EXIT_OK : EXIT_NOT_JUDGED;
}

}  // namespace

void add_changes_options(CLI::App& command, ChangesOptions& options) {
  CLI::Option* changes =
      command.add_flag("--changes", options.changes,
                       "List the shifts and episodes of each series of runs (host, label,\n"
                       "workers, library, CPU), from change points at p < 0.01");
  CLI::Option* since =
      command
          .add_option("--since", options.since, "With --changes or --html: runs since DATE (UTC)")
          ->check(SINCE_DATE)
          ->type_name("DATE");
  CLI::Option* min_change =
      command
          .add_option("--min-change", options.min_change,
                      "With --changes or --html: the smallest shift or episode\n"
                      "shown, in % either way (default 2)")
          ->check(PERCENT)
          ->type_name("PCT");
  CLI::Option* fail = command
                          .add_option("--fail-on-change", options.fail_on_change,
                                      "With --changes: exit 1 when a shift down of PCT % or more\n"
                                      "ends within the last --last runs (default 10) of its\n"
                                      "series; else 3 when a series is too short to judge")
                          ->check(PERCENT)
                          ->type_name("PCT")
                          ->needs(changes);
  CLI::Option* either =
      command.add_flag("--either", options.either, "With --fail-on-change: a rise fails too");
  CLI::Option* html = add_output_option(command, options.html,
                                        "Write the history as a self-contained page: each host's\n"
                                        "rates over time, their spread and change points");
  add_output_option(command, options.junit,
                    "With --changes: write a JUnit XML report to FILE, a test\n"
                    "case per series")
      ->needs(changes);
  add_output_option(command, options.markdown,
                    "With --changes: add a Markdown table of the shifts and\n"
                    "episodes to FILE (a CI step summary)")
      ->needs(changes);
  // Options that would otherwise be ignored without a word.
  command.parse_complete_callback([=] {
    for (CLI::Option* option : {since, min_change}) {
      if (option->count() > 0 && changes->count() == 0 && html->count() == 0) {
        throw CLI::ValidationError(option->get_name() + " needs --changes or --html");
      }
    }
    if (either->count() > 0 && fail->count() == 0) {
      throw CLI::ValidationError("--either needs --fail-on-change");
    }
  });
}

bool wants_changes(const ChangesOptions& options) { return options.changes || options.html.given; }

int changes_command(History& history, const ChangesRequest& request) {
  const ChangesOptions& options = *request.options;
  auto opened = open_outputs({options.html, options.junit, options.markdown},
                             options.changes ? (request.json ? "--json" : "--changes") : "",
                             {{"--history", history.path(), true}});
  if (const int* status = std::get_if<int>(&opened)) return *status;

  std::optional<UtcMillis> since;
  if (!options.since.empty()) since = parse_user_time(options.since);
  auto runs = history.completed_runs(request.host, request.label);
  if (auto* failure = std::get_if<std::string>(&runs)) return fail(*failure);
  std::vector<RunSeries> series = series_of(std::get<std::vector<ListedRun>>(runs), since);
  const ChangePointOptions statistics;
  find_changes(series, statistics);

  // What fails is always shown: a --fail-on-change below --min-change
  // lowers the size reported.
  double min_change = options.min_change;
  if (options.fail_on_change) min_change = std::min(min_change, *options.fail_on_change);

  if (options.html.given) {
    HistoryPageSummary summary{history.path(), utc_text(utc_now(), false), min_change,
                               filter_text(request), runs_needed(statistics.min_segment)};
    if (const auto failure =
            std::get<OpenedOutputs>(opened).files[0]->commit(history_page(summary, series))) {
      return fail(*failure);
    }
  }
  if (!options.changes) return 0;

  ChangesSummary summary;
  summary.history = history.path();
  summary.series = series.size();
  for (const RunSeries& one : series) summary.runs += one.runs.size();
  summary.min_change_percent = min_change;
  summary.options = statistics;
  const FoundChanges found = large_changes(series, min_change);
  const std::string text = request.json ? json_text(changes_json(summary, series), Layout::indented)
                                        : changes_text(summary, found);
  if (const auto failure = write_standard_output(text)) return fail(*failure);

  const auto window = static_cast<std::size_t>(request.last.value_or(FAIL_WINDOW));
  ChangesReport report{&summary, &series, &found, {}, options.fail_on_change};
  if (options.fail_on_change) {
    report.failing = failing_shifts(found.shifts, *options.fail_on_change, options.either, window);
  }
  if (const auto failure = write_ci_reports(std::get<OpenedOutputs>(opened), report)) {
    return fail(*failure);
  }
  return options.fail_on_change ? gate_status(report) : EXIT_OK;
}

}  // namespace tarnwick
