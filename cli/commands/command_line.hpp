// The program's command line: the top level runs the benchmark, and each
// command (compare, history, report) is a subcommand declared by its own
// file in this folder. Parsing turns help requests and usage errors into
// the text and exit status that answer them; every usage error names the
// option and what it wanted.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "output/atomic_file.hpp"
#include "util/exit_status.hpp"

namespace tarnwick {

// Prints "tarnwick: <message>" on standard error; returns EXIT_FAILED.
int fail(const std::string& message);

// The files a command writes, checked against each other and opened before
// any work, in the order given; `standard_output` when one of them is "-".
struct OpenedOutputs {
  std::vector<std::optional<OutputFile>> files;  // empty where not given
  bool standard_output = false;
};

// Opens `outputs`, after checking them with output_clash together with
// `guarded` (files that must not be written over, such as the history). A
// clash prints the usage error and gives EXIT_USAGE; a path that cannot be
// written prints why and gives EXIT_FAILED.
[[nodiscard]] std::variant<OpenedOutputs, int> open_outputs(
    const std::vector<NamedOutput>& outputs, std::string_view stdout_owner,
    const std::vector<NamedOutput>& guarded = {});

// Refuses an empty file name, which would otherwise mean "not given" (an
// unset variable in a script must not fall back to the user's real history),
// and one that starts with '-' other than "-" itself: an option taken for
// the missing value of the one before it.
extern const CLI::Validator FILE_NAME;

// Declares the file option `output.option` ("--csv FILE"), which fills
// `output` when given.
CLI::Option* add_output_option(CLI::App& app, NamedOutput& output, const std::string& help);

// A UTC time as users type it (util/utc_time's parse_user_time), for --since.
extern const CLI::Validator SINCE_DATE;

// What the chosen command does once its command line is parsed; returns the
// exit status. A command's subcommand callback replaces the run's action.
using CommandAction = std::function<int()>;

// The top-level application, with the program's description and footer.
// Options given twice are refused after parsing ("--warmup given twice").
[[nodiscard]] std::unique_ptr<CLI::App> make_program();

// Value checks that name what they wanted: "expected a number of seconds,
// got '5s'"; an option name where a value belongs is "needs a value".
// `what` is e.g. "a number of seconds".
[[nodiscard]] CLI::Validator number_text(const std::string& what);
// A number above `above` and at most `at_most` (NaN never is).
[[nodiscard]] CLI::Validator number_text(const std::string& what, double above, double at_most);
[[nodiscard]] CLI::Validator whole_number_text(const std::string& what, long minimum,
                                               long maximum = std::numeric_limits<long>::max());
[[nodiscard]] CLI::Validator one_of(const std::vector<std::string>& choices);

struct ParseOutcome {
  bool proceed = false;  // false: print the texts below and exit
  int exit_code = 0;
  std::string out;  // for standard output (help)
  std::string err;  // for standard error (usage errors, with a hint)
};

[[nodiscard]] ParseOutcome parse_command_line(CLI::App& app, int argc, const char* const* argv);

// The usage error text for a message found after parsing (e.g. outputs
// that clash): "tarnwick: <message>" and the hint, which points to the
// help of `command` ("compare") when one was chosen.
[[nodiscard]] std::string usage_error(const std::string& message, const std::string& command = {});

// The name of the subcommand chosen on the command line; empty for none.
[[nodiscard]] std::string chosen_command(const CLI::App& app);

}  // namespace tarnwick
