#include "options.hpp"

#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "numbers.hpp"

namespace tarnwick {
namespace {

constexpr const char* DESCRIPTION =
    "tarnwick: measures the sustained CPU throughput of this machine in kernel steps per "
    "second.\nWith no options: one worker, the library's default warm-up (120 s) and "
    "measurement window (60 s).";

constexpr const char* FOOTER =
    "Exit status: 0 completed, 1 cancelled (Ctrl-C or SIGTERM; a second Ctrl-C leaves at once),\n"
    "2 failed or rejected by the library (its reason on standard error), 64 bad command line.";

// Checks the text only; the value is judged by the library.
const CLI::Validator STRICT_NUMBER(
    [](const std::string& text) -> std::string {
      if (parse_number(text)) return {};
      return fmt::format("'{}' is not a number", text);
    },
    "", "number");

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CLI::App app{DESCRIPTION, "tarnwick"};
  app.footer(FOOTER);
  app.get_formatter()->column_width(22);

  Options options;
  std::string warmup_text;
  std::string measure_text;
  auto* warmup =
      app.add_option("--warmup", warmup_text, "Warm-up length in seconds (library default 120)")
          ->check(STRICT_NUMBER)
          ->type_name("SECONDS");
  auto* measure = app.add_option("--measure", measure_text,
                                 "Measurement window in seconds (library default 60)")
                      ->check(STRICT_NUMBER)
                      ->type_name("SECONDS");
  auto* all_cpus =
      app.add_flag("--all-cpus", options.all_cpus, "One worker per CPU this process may use");
  app.add_flag("--both", options.both,
               "One worker, then all CPUs, and the scaling: multi rate / (threads x single rate)")
      ->excludes(all_cpus);
  app.add_flag("--json", options.json, "Print one JSON document on standard output");
  app.add_option("--csv", options.csv_path, "Write the samples to FILE as CSV")->type_name("FILE");
  app.add_option("--plot", options.plot_path, "Write an SVG chart of the per-second rates to FILE")
      ->type_name("FILE");
  app.add_flag("--quiet", options.quiet, "No live progress display");
  app.add_flag("--version", options.version, "Print the program and library versions");

  CommandLine line;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    line.out = app.help();
    return line;
  } catch (const CLI::CallForAllHelp&) {
    line.out = app.help("", CLI::AppFormatMode::All);
    return line;
  } catch (const CLI::ParseError& error) {
    line.exit_code = EXIT_USAGE;
    line.err = fmt::format("tarnwick: {}\nRun 'tarnwick --help' for the options.\n", error.what());
    return line;
  }
  if (warmup->count() > 0) options.warmup_seconds = parse_number(warmup_text);
  if (measure->count() > 0) options.measure_seconds = parse_number(measure_text);
  line.options = options;
  return line;
}

}  // namespace tarnwick
