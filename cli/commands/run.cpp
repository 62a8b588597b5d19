#include "commands/run.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "commands/command_line.hpp"
#include "document/json_writer.hpp"
#include "document/model.hpp"
#include "formats/csv.hpp"
#include "formats/prometheus.hpp"
#include "formats/summary.hpp"
#include "formats/svg.hpp"
#include "output/atomic_file.hpp"
#include "output/messages.hpp"
#include "output/terminal.hpp"
#include "run/precision.hpp"
#include "run/progress.hpp"
#include "run/repetitions.hpp"
#include "run/runner.hpp"
#include "run/signals.hpp"
#include "run/warnings.hpp"
#include "store/location.hpp"
#include "store/saving.hpp"
#include "tarnwick.h"
#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// The run's outputs: each option with the writer of its file. Opened before
// the run, so that a bad path costs a second, not a whole run; written after
// it, in this order.
struct OutputKind {
  NamedOutput RunOptions::*file;
  const char* help;
  std::string (*write)(const Session& session, bool stream);
};

std::string document_text(const Session& session, bool stream) {
  return json_text(session_json(session), stream ? Layout::one_line : Layout::indented);
}

constexpr std::array<OutputKind, 4> OUTPUTS = {{
    {&RunOptions::output, "Write the result document to FILE; the summary still prints",
     document_text},
    {&RunOptions::csv, "Write the samples to FILE as CSV",
     [](const Session& session, bool) { return samples_csv(session); }},
    {&RunOptions::plot,
     "Write an SVG chart of the per-second rates to FILE ('-': stdout for one of the four)",
     [](const Session& session, bool) { return session_svg(session); }},
    {&RunOptions::prom,
     "Write the figures as Prometheus metrics to FILE (node_exporter's textfile collector)",
     [](const Session& session, bool) { return prometheus_text(session); }},
}};

void print_warning(const Warning& warning, const TextStyle& style) {
  tell("{}\n", wrap_words(fmt::format("tarnwick: {} {}", style.caution("warning:"), warning.text),
                          style.wrap, 2));
}

// The options the user set, as typed, for a message about their values.
std::string duration_options(const RunOptions& options) {
  std::vector<std::string> set;
  if (options.warmup_seconds) set.push_back("--warmup " + options.warmup_text);
  if (options.measure_seconds) set.push_back("--measure " + options.measure_text);
  if (set.size() == 2) return set[0] + " and " + set[1];
  return set.empty() ? std::string() : set[0];
}

// The message of a failed run. A run the library refused before it decided
// its workers was refused for its configuration, and the only configuration
// the user sets is the durations: name them, and leave the rule to the
// library's reason.
std::string failure_text(const RunReport& run, const RunOptions& options) {
  const std::string named = duration_options(options);
  if (!run.last_phase && run.result.threads == 0 && !named.empty()) {
    return fmt::format("{}: {}", named, run.result.reason);
  }
  return run.result.reason;
}

// True when some run measured a sample: a rejected run, or one that failed
// or was cancelled before measuring, leaves existing files untouched and
// stores nothing.
bool measured_anything(const Session& session) {
  return std::any_of(session.runs.begin(), session.runs.end(),
                     [](const RunReport& run) { return !run.result.samples.empty(); });
}

}  // namespace

// A table of options, one statement each: long, and clearer whole.
void add_run_options(CLI::App& app, RunOptions& options) {  // NOLINT(readability-function-size)
  // A duration, kept with the text the user typed for messages.
  const auto duration = [&app](const char* name, std::string& text, std::optional<double>& seconds,
                               const char* help) {
    app.add_option_function<std::string>(
           name,
           [&text, &seconds](const std::string& given) {
             text = given;
             seconds = parse_number(given);
           },
           help)
        ->check(number_text("a number of seconds"))
        ->type_name("SECONDS");
  };
  duration("--warmup", options.warmup_text, options.warmup_seconds,
           "Warm-up length in seconds (library default 120)");
  duration("--measure", options.measure_text, options.measure_seconds,
           "Measurement window in seconds (library default 60)");
  auto* all_cpus =
      app.add_flag("--all-cpus", options.all_cpus, "One worker per CPU this process may use");
  app.add_flag("--both", options.both,
               "One worker, then all CPUs, and the scaling: multi rate / (threads x single rate)")
      ->excludes(all_cpus);
  auto* repeat =
      app.add_option_function<std::string>(
             "--repeat", [&options](const std::string& text) { options.repeat = std::stoul(text); },
             "Run N times, each on a fresh handle; --both interleaves the pairs (default 1)")
          ->check(whole_number_text("a whole number of runs from 1 to 10000", 1, 10000))
          ->type_name("N");
  auto* precision = app.add_option_function<std::string>(
                           "--precision",
                           [&options](const std::string& text) {
                             options.precision_percent = parse_number(text);
                           },
                           "Run until the geometric mean rate is known within +-PCT % (95 %)")
                        ->check(number_text("a percentage above 0 and at most 50", 0, 50))
                        ->type_name("PCT")
                        ->excludes(repeat);
  app.add_option_function<std::string>(
         "--max-time",
         [&options](const std::string& text) {
           options.max_time_text = text;
           options.max_seconds = *parse_number(text);
         },
         "With --precision: start no run that would end later (default 600)")
      ->check(number_text("a number of seconds above 0", 0, std::numeric_limits<double>::max()))
      ->type_name("SECONDS")
      ->needs(precision);
  app.add_flag("--json", options.json,
               "Print the result document (JSON, one line) on standard output");
  for (const OutputKind& kind : OUTPUTS) add_output_option(app, options.*kind.file, kind.help);
  app.add_option_function<std::string>(
         "--color",
         [&options](const std::string& text) {
           options.color = text == "always"  ? ColorChoice::always
                           : text == "never" ? ColorChoice::never
                                             : ColorChoice::automatic;
         },
         "Colour the verdicts and warnings: auto (a terminal, without NO_COLOR), always, never")
      ->check(one_of({"auto", "always", "never"}))
      ->type_name("WHEN");
  auto* save = app.add_flag("--save", options.save,
                            "Store the runs in the history (see 'tarnwick history')");
  app.add_option("--history", options.history_path, "The history's database file, with --save")
      ->check(FILE_NAME)
      ->type_name("FILE")
      ->needs(save);
  app.add_flag("--quiet", options.quiet, "No live progress display");
  app.add_flag("--version", options.version, "Print the program and library versions");
}

namespace {

// What the command settled before measuring anything: the runs, the
// library's configuration, and the outputs, opened.
struct CommandPlan {
  Config config;
  std::vector<PlannedRun> runs;
  OpenedOutputs outputs;
};

// Files no output may name: an output over the history would destroy
// every stored run.
std::vector<NamedOutput> guarded_files(const RunOptions& options) {
  if (!options.save) return {};
  const auto store = history_path(options.history_path);
  if (!store || *store == "-") return {};
  return {{options.history_path.empty() ? "the history" : "--history", *store, true}};
}

// With --precision, the first run of each label must end before the limit:
// a shorter limit is a mistake on the command line, not a run.
std::optional<std::string> limit_too_short(const RunOptions& options, const Config& config) {
  if (!options.precision_percent) return std::nullopt;
  const double first =
      (options.both ? 2.0 : 1.0) * (config.warmup.count() + config.measure.count());
  if (!(first > options.max_seconds)) return std::nullopt;
  return fmt::format(
      "--max-time {}: the first run{} alone take{} {} s (warm-up and window)",
      options.max_time_text.empty() ? short_seconds(options.max_seconds) : options.max_time_text,
      options.both ? "s of both kinds" : "", options.both ? "" : "s", short_seconds(first));
}

// The plan, or the exit status of a command that ends before measuring.
std::variant<CommandPlan, int> plan_command(const RunOptions& options) {
  CommandPlan plan;
  if (options.warmup_seconds) plan.config.warmup = Seconds(*options.warmup_seconds);
  if (options.measure_seconds) plan.config.measure = Seconds(*options.measure_seconds);
  if (const auto message = limit_too_short(options, plan.config)) {
    std::fputs(usage_error(*message).c_str(), stderr);
    return EXIT_USAGE;
  }
  std::vector<NamedOutput> named;
  named.reserve(OUTPUTS.size());
  for (const OutputKind& kind : OUTPUTS) named.push_back(options.*kind.file);
  // From here a first signal cancels the run, even before it starts.
  install_signal_handlers();
  auto opened = open_outputs(named, options.json ? "--json" : "", guarded_files(options));
  if (const int* status = std::get_if<int>(&opened)) return *status;
  plan.outputs = std::move(std::get<OpenedOutputs>(opened));
  plan.runs = plan_runs(options.both || !options.all_cpus, options.both || options.all_cpus,
                        options.repeat);
  return plan;
}

// The library's count honours the control-group quota, the affinity mask
// alone does not: an all-CPUs run's workers are the CPUs available.
void count_cpus(HostFacts& host, bool all_cpus, uint32_t workers) {
  if (!all_cpus || workers == 0) return;
  host.cpus_available = workers;
  host.cpus_source = "library";
}

Session new_session() {
  Session session;
  session.version = std::string(version());
  session.abi_version = abi_version();
  session.host = read_host_facts();
  session.environment = read_environment(session.host);
  return session;
}

// What measuring needs from one run to the next.
struct Measuring {
  const RunOptions& options;
  Session& session;
  ProgressDisplay& display;
  Config config;  // of the run in progress
};

// True once a run was stopped or failed: what follows would be measured
// against nothing, so the command ends.
bool ended(const Session& session) {
  return !session.runs.empty() &&
         (interrupted() || session.runs.back().result.status != Status::completed);
}

// One run, shown on the display and kept in the session.
const RunReport& run_step(Measuring& measuring, const PlannedRun& step, double planned_seconds,
                          const RunPosition& position) {
  measuring.config.all_cpus = step.all_cpus;
  measuring.display.begin(step.label, planned_seconds, position);
  RunReport run = run_once(measuring.config, step.label, measuring.display);
  run.repetition = step.repetition;
  if (run.result.status == Status::failed) {
    tell("tarnwick: {}\n", failure_text(run, measuring.options));
  }
  count_cpus(measuring.session.host, step.all_cpus, run.result.threads);
  measuring.session.runs.push_back(std::move(run));
  return measuring.session.runs.back();
}

void measure_repeats(Measuring& measuring, const std::vector<PlannedRun>& runs) {
  const Config& config = measuring.config;
  const double planned_each =
      std::max(config.warmup.count(), 0.0) + std::max(config.measure.count(), 0.0);
  for (std::size_t index = 0; index < runs.size() && !ended(measuring.session); ++index) {
    const std::size_t after = runs.size() - index - 1;
    run_step(measuring, runs[index], planned_each,
             {static_cast<unsigned>(index + 1), static_cast<unsigned>(runs.size()),
              planned_each * static_cast<double>(after), std::nullopt});
  }
}

// Runs until each label's geometric mean is known as precisely as asked,
// or the time limit leaves no room for another run.
void measure_to_precision(Measuring& measuring) {
  const RunOptions& options = measuring.options;
  Session& session = measuring.session;
  PrecisionPlan plan(options.both || !options.all_cpus, options.both || options.all_cpus,
                     *options.precision_percent, options.max_seconds);
  const Config configured = measuring.config;
  const auto began = std::chrono::steady_clock::now();
  const auto elapsed = [began] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  };
  while (!ended(session)) {
    const double start = elapsed();
    const auto step = plan.next(start, configured.warmup, configured.measure);
    if (!step) break;
    measuring.config.warmup = PrecisionPlan::warms_up(*step) ? configured.warmup : Seconds(0);
    const double planned =
        std::max(measuring.config.warmup.count(), 0.0) + std::max(configured.measure.count(), 0.0);
    RunPosition position{static_cast<unsigned>(session.runs.size() + 1), 0,
                         std::max(options.max_seconds - start - planned, 0.0),
                         plan.half_width_percent(step->label)};
    const RunReport& run = run_step(measuring, *step, planned, position);
    plan.record(run, run_disturbed(run, session.host), elapsed() - start);
  }
  if (ended(session)) plan.stop(interrupted() ? PrecisionStop::cancelled : PrecisionStop::failed);
  session.precision = plan.report(elapsed());
}

// Runs the command's runs into `session`.
void measure(const RunOptions& options, const CommandPlan& plan, Session& session) {
  const TextStyle error_style = style_for(stderr, options.color);
  ProgressDisplay display(stderr, !options.quiet && isatty(STDERR_FILENO) == 1, error_style);
  Measuring measuring{options, session, display, plan.config};
  // Host warnings wait for the run to start: a rejected run gets its reason
  // alone. The count they judge by is the run's own.
  display.on_first_report([&](const Progress& progress) {
    count_cpus(session.host, measuring.config.all_cpus, progress.threads);
    if (auto warning = load_warning(session.host)) {
      print_warning(*warning, error_style);
      session.warnings.push_back(std::move(*warning));
    }
  });
  if (options.precision_percent) {
    measure_to_precision(measuring);
  } else {
    measure_repeats(measuring, plan.runs);
  }
}

// The outputs still to write, in the order they are written: what a signal
// that ends the program from here on says it did not write.
std::vector<std::string> pending_outputs(const RunOptions& options, const CommandPlan& plan,
                                         const Session& session) {
  std::vector<std::string> pending;
  if (options.json) pending.emplace_back("--json");
  if (!measured_anything(session)) return pending;
  for (std::size_t index = 0; index < OUTPUTS.size(); ++index) {
    if (!plan.outputs.files[index]) continue;
    const NamedOutput& given = options.*OUTPUTS[index].file;
    pending.push_back(fmt::format("{} {}", given.option, printable(given.path)));
  }
  if (options.save) pending.emplace_back("--save");
  return pending;
}

// The summary, or the document with --json, then the warnings that
// qualify it; false when standard output could not be written.
bool show_results(const RunOptions& options, const CommandPlan& plan, const Session& session,
                  const std::vector<Warning>& late_warnings) {
  std::optional<std::string> failure;
  if (options.json) {
    failure = write_standard_output(document_text(session, true));
    output_written();
  } else if (std::any_of(session.runs.begin(), session.runs.end(),
                         [](const RunReport& r) { return r.result.status != Status::failed; })) {
    // A document on standard output, by any name, moves the summary aside.
    const bool on_stdout = !plan.outputs.standard_output;
    // The terminal's width now: it may have changed during the run.
    const std::string summary =
        session_summary(session, style_for(on_stdout ? stdout : stderr, options.color));
    if (on_stdout) {
      failure = write_standard_output(summary);
    } else {
      std::fputs(summary.c_str(), stderr);
    }
  }
  if (failure) tell("tarnwick: {}\n", *failure);
  // The terminal's width now, as for the summary.
  for (const Warning& warning : late_warnings) {
    print_warning(warning, style_for(stderr, options.color));
  }
  return !failure;
}

// Writes the output files, then stores the runs; false when one of them
// could not be written. A run that measured nothing keeps nothing.
bool keep_results(const RunOptions& options, CommandPlan& plan, const Session& session) {
  std::vector<std::optional<OutputFile>>& files = plan.outputs.files;
  const bool anything_to_keep =
      options.save ||
      std::any_of(files.begin(), files.end(), [](const auto& file) { return file.has_value(); });
  if (!measured_anything(session)) {
    if (anything_to_keep && exit_status(session) == EXIT_CANCELLED) {
      tell("tarnwick: cancelled before the first sample: no file written, nothing stored\n");
    }
    return true;
  }
  bool written = true;
  const auto report = [&written](const std::optional<std::string>& failure) {
    if (!failure) return;
    tell("tarnwick: {}\n", *failure);
    written = false;
  };
  for (std::size_t index = 0; index < OUTPUTS.size(); ++index) {
    if (files[index]) {
      report(files[index]->commit(OUTPUTS[index].write(session, files[index]->is_stream())));
      output_written();
    }
  }
  // Stored last: a history that fails costs none of the outputs above.
  if (!options.save) return written;
  const auto saved = save_document(document_text(session, true), options.history_path);
  output_written();
  if (const auto* failure = std::get_if<std::string>(&saved)) {
    report(*failure);
  } else if (const SavedRuns& runs = std::get<SavedRuns>(saved); !options.quiet && !runs.pending) {
    tell("tarnwick: stored {} in {}\n", plural(runs.counts.stored, "run"), runs.path);
  }
  return written;
}

}  // namespace

int run_command(const RunOptions& options) {
  if (options.version) {
    const auto failure = write_standard_output(
        fmt::format("tarnwick {} (library {}, ABI {}; built for ABI {})\n", TARNWICK_VERSION_STRING,
                    tarnwick_version(), tarnwick_abi_version(), TARNWICK_ABI_VERSION));
    return failure ? fail(*failure) : EXIT_OK;
  }
  auto planned = plan_command(options);
  if (const int* status = std::get_if<int>(&planned)) return *status;
  CommandPlan& plan = std::get<CommandPlan>(planned);
  Session session = new_session();
  measure(options, plan, session);
  // Nothing is measured from here on: a signal no longer cancels, it ends
  // the program at once, even in a write that waits for a slow reader.
  install_leaving_handlers();
  expect_outputs(pending_outputs(options, plan, session));
  // Kept for the document now, printed after the summary they qualify.
  std::vector<Warning> late_warnings = noisy_seconds_warnings(session);
  for (Warning& warning : stability_warnings(session)) late_warnings.push_back(std::move(warning));
  for (Warning& warning : precision_warnings(session)) late_warnings.push_back(std::move(warning));
  session.warnings.insert(session.warnings.end(), late_warnings.begin(), late_warnings.end());
  const bool shown = show_results(options, plan, session, late_warnings);
  const bool kept = keep_results(options, plan, session);
  // An output that could not be written fails the command, cancelled or not.
  return shown && kept ? exit_status(session) : EXIT_FAILED;
}

}  // namespace tarnwick
