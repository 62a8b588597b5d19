#include "commands/command_line.hpp"

#include <fmt/format.h>

namespace tarnwick {
namespace {

constexpr const char* DESCRIPTION =
    "tarnwick: measures the sustained CPU throughput of this machine in kernel steps per "
    "second.\nWith no options: one worker, the library's default warm-up (120 s) and "
    "measurement window (60 s).";

constexpr const char* FOOTER =
    "Exit status: 0 completed, 1 cancelled (Ctrl-C or SIGTERM; a second Ctrl-C leaves at once),\n"
    "2 failed or rejected by the library (its reason on standard error), 64 bad command line.";

}  // namespace

std::unique_ptr<CLI::App> make_program() {
  auto app = std::make_unique<CLI::App>(DESCRIPTION, "tarnwick");
  app->footer(FOOTER);
  app->get_formatter()->column_width(22);
  app->require_subcommand(0, 1);
  return app;
}

ParseOutcome parse_command_line(CLI::App& app, int argc, const char* const* argv) {
  ParseOutcome outcome;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    outcome.out = app.help();
    return outcome;
  } catch (const CLI::CallForAllHelp&) {
    outcome.out = app.help("", CLI::AppFormatMode::All);
    return outcome;
  } catch (const CLI::ParseError& error) {
    outcome.exit_code = EXIT_USAGE;
    outcome.err =
        fmt::format("tarnwick: {}\nRun 'tarnwick --help' for the options.\n", error.what());
    return outcome;
  }
  outcome.proceed = true;
  return outcome;
}

}  // namespace tarnwick
