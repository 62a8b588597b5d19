// tarnwick: the command-line host of the benchmark library. Builds the
// command line and hands over to the chosen command; without a command the
// program runs the benchmark.
#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string_view>

#include "commands/baseline.hpp"
#include "commands/command_line.hpp"
#include "commands/compare.hpp"
#include "commands/history.hpp"
#include "commands/report.hpp"
#include "commands/run.hpp"
#include "run/signals.hpp"
#include "util/escaping.hpp"

int main(int argc, char** argv) {
  using namespace tarnwick;
  // A closed standard stream would be the number the next file gets, and an
  // output file would receive the summary. /dev/null holds its place, opened
  // read-only so that writes to it fail and are reported.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) static_cast<void>(open("/dev/null", O_RDONLY));
  }
  // A closed pipe is a write error like any other, with a message and
  // status 2, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  // The user's character set decides how text from documents is shown: a
  // locale that is not UTF-8 gets ASCII, every other character escaped, so
  // no byte of one (0x9B, say, in U+201B) reaches an 8-bit terminal as a
  // control. Numbers stay the program's own, whatever LC_NUMERIC says.
  std::setlocale(LC_ALL, "");
  set_utf8_output(std::string_view(nl_langinfo(CODESET)) == "UTF-8");
  std::setlocale(LC_NUMERIC, "C");
  const auto app = make_program();
  RunOptions run_options;
  add_run_options(*app, run_options);
  CommandAction action = [&run_options] { return run_command(run_options); };
  // Each command registers here and, when chosen, replaces the action.
  CompareOptions compare_options;
  CLI::App& compare = add_compare_command(*app, compare_options, action);
  BaselineOptions baseline_options;
  add_baseline_options(compare, baseline_options, compare_options, action);
  HistoryOptions history_options;
  add_history_command(*app, history_options, action);
  ReportOptions report_options;
  add_report_command(*app, report_options, action);

  const ParseOutcome outcome = parse_command_line(*app, argc, argv);
  std::fputs(outcome.err.c_str(), stderr);
  // Help that cannot be written is a failure like any other output's.
  if (!outcome.out.empty()) {
    if (const auto failure = write_standard_output(outcome.out)) return fail(*failure);
  }
  if (!outcome.proceed) return outcome.exit_code;
  // Until a run installs its own, a signal ends any command at once, its
  // temporary output files removed (a wait for a reader or a lock included).
  install_leaving_handlers();
  // Nothing may leave a command by exception: every failure is a message.
  try {
    return action();
  } catch (const std::exception& error) {
    return fail(error.what());
  } catch (...) {
    return fail("unexpected error");
  }
}
