#include "commands/command_line.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "output/messages.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {
namespace {

constexpr const char* DESCRIPTION =
    "tarnwick: measures the sustained CPU throughput of this machine in kernel steps per "
    "second.\nWith no options: one worker, the library's default warm-up (120 s) and "
    "measurement window (60 s).";

// Help fits an 80-column terminal: every longer line is folded at spaces,
// its continuation under the text it continues.
constexpr int HELP_WIDTH = 79;
constexpr std::size_t OPTION_COLUMN = 22;

std::string exit_status_text() {
  std::string text = "Exit status:";
  for (const ExitStatusMeaning& entry : EXIT_STATUSES) {
    text += "\n" + wrap_words(fmt::format("  {:<5}{}", entry.status, entry.meaning), HELP_WIDTH, 7);
  }
  return text;
}

// Where a folded line's continuation starts: under an option's (or a
// command's) description when the line has one, else under its own start.
std::size_t continuation_column(std::string_view line) {
  const std::size_t start = std::min(line.find_first_not_of(' '), line.size());
  if (start == 2 && line.size() > OPTION_COLUMN && line[OPTION_COLUMN - 1] == ' ' &&
      line[OPTION_COLUMN] != ' ') {
    return OPTION_COLUMN;
  }
  return start;
}

class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    const std::string help = CLI::Formatter::make_help(app, std::move(name), mode);
    std::string folded;
    for (std::size_t start = 0; start < help.size();) {
      const std::size_t end = std::min(help.find('\n', start), help.size());
      const std::string_view line = std::string_view(help).substr(start, end - start);
      folded += wrap_words(line, HELP_WIDTH, static_cast<int>(continuation_column(line)));
      if (end < help.size()) folded += '\n';
      start = end + 1;
    }
    return folded;
  }
};

// A value that is itself an option means the option's own value is missing
// ("--warmup --quiet"); negative numbers are values.
bool looks_like_option(const std::string& text) {
  return text.size() > 1 && text.front() == '-' && !parse_number(text);
}

std::string wanted(const std::string& what, const std::string& text) {
  if (looks_like_option(text)) return "needs a value";
  return fmt::format("expected {}, got '{}'", what, text);
}

// Options given more than once, on the chosen command or the top level.
std::string repeated_option(const CLI::App& app) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_lnames().empty() || option->get_items_expected_max() > 1) continue;
    if (option->count() > 1) return fmt::format("{} given twice", option->get_name());
  }
  for (const CLI::App* command : app.get_subcommands()) {
    if (std::string text = repeated_option(*command); !text.empty()) return text;
  }
  return {};
}

bool has_space(std::string_view text) { return text.find(' ') != std::string_view::npos; }

bool starts_with_digit(std::string_view text) {
  return !text.empty() && text.front() >= '0' && text.front() <= '9';
}

// CLI11's own texts, said the program's way. Plain string matching: GCC 12
// warns spuriously inside <regex> at -O1, which the sanitizer builds use.
std::string usage_text(const CLI::ParseError& error) {
  const std::string_view text = error.what();
  // "--warmup: 1 required SECONDS missing"
  if (const auto colon = text.find(": ");
      colon != std::string_view::npos && colon > 0 && !has_space(text.substr(0, colon)) &&
      starts_with_digit(text.substr(colon + 2)) &&
      text.find(" required ") != std::string_view::npos && text.ends_with(" missing")) {
    return fmt::format("{}: needs a value", text.substr(0, colon));
  }
  // "The following argument was not expected: x", "... arguments were ...: x y"
  for (const std::string_view lead : {"The following argument was not expected: ",
                                      "The following arguments were not expected: "}) {
    if (!text.starts_with(lead)) continue;
    const std::string_view rest = text.substr(lead.size());
    const std::string_view first = rest.substr(0, rest.find(' '));
    if (!first.empty() && first.front() == '-') return fmt::format("unknown option '{}'", first);
    return fmt::format("unexpected argument '{}'", first);
  }
  // "--both excludes --all-cpus"
  if (const auto at = text.find(" excludes "); at != std::string_view::npos && at > 0) {
    const std::string_view left = text.substr(0, at);
    const std::string_view right = text.substr(at + 10);
    if (!right.empty() && !has_space(left) && !has_space(right)) {
      return fmt::format("{} and {} cannot be used together", left, right);
    }
  }
  return std::string(text);
}

// The first word of the command line that looks like an option and is not
// one of `command`'s or the program's; words after "--" are arguments.
std::optional<std::string> unknown_option(const CLI::App& app, const CLI::App& command, int argc,
                                          const char* const* argv) {
  for (int index = 1; index < argc; ++index) {
    const std::string_view word = argv[index];
    if (word == "--") break;
    if (word.size() < 2 || word.front() != '-' || parse_number(std::string(word))) continue;
    const std::string name(word.substr(0, word.find('=')));
    if (command.get_option_no_throw(name) == nullptr && app.get_option_no_throw(name) == nullptr) {
      return name;
    }
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<CLI::App> make_program() {
  auto app = std::make_unique<CLI::App>(DESCRIPTION, "tarnwick");
  app->footer(exit_status_text());
  // Commands added later share this formatter.
  app->formatter(std::make_shared<HelpFormatter>());
  app->get_formatter()->column_width(OPTION_COLUMN);
  app->require_subcommand(0, 1);
  // Kept, then refused after parsing with the option's name.
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  return app;
}

CLI::Validator number_text(const std::string& what) {
  return CLI::Validator(
      [what](std::string& text) -> std::string {
        return parse_number(text) ? std::string() : wanted(what, text);
      },
      "", "number");
}

CLI::Validator number_text(const std::string& what, double above, double at_most) {
  return CLI::Validator(
      [what, above, at_most](std::string& text) -> std::string {
        const std::optional<double> value = parse_number(text);
        return value && *value > above && *value <= at_most ? std::string() : wanted(what, text);
      },
      "", "number");
}

CLI::Validator whole_number_text(const std::string& what, long minimum, long maximum) {
  return CLI::Validator(
      [what, minimum, maximum](std::string& text) -> std::string {
        long value = 0;
        const char* end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, value);
        if (ec == std::errc{} && ptr == end && value >= minimum && value <= maximum) return {};
        return wanted(what, text);
      },
      "", "whole number");
}

CLI::Validator one_of(const std::vector<std::string>& choices) {
  return CLI::Validator(
      [choices](std::string& text) -> std::string {
        for (const std::string& choice : choices) {
          if (text == choice) return {};
        }
        return wanted(listed(choices, "or"), text);
      },
      "", "choice");
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
    const CLI::App* command = &app;
    for (const CLI::App* chosen : app.get_subcommands()) command = chosen;
    outcome.exit_code = EXIT_USAGE;
    // An unknown option is what the user got wrong, whatever else the
    // parse missed after it (a command's required PATH, say).
    const std::optional<std::string> unknown =
        dynamic_cast<const CLI::RequiredError*>(&error) != nullptr
            ? unknown_option(app, *command, argc, argv)
            : std::nullopt;
    outcome.err =
        usage_error(unknown ? fmt::format("unknown option '{}'", *unknown) : usage_text(error),
                    chosen_command(app));
    return outcome;
  }
  if (std::string repeated = repeated_option(app); !repeated.empty()) {
    outcome.exit_code = EXIT_USAGE;
    outcome.err = usage_error(repeated, chosen_command(app));
    return outcome;
  }
  outcome.proceed = true;
  return outcome;
}

std::string usage_error(const std::string& message, const std::string& command) {
  return fmt::format("tarnwick: {}\nRun 'tarnwick {}--help' for the options.\n", message,
                     command.empty() ? std::string() : command + " ");
}

std::string chosen_command(const CLI::App& app) {
  // The subcommand met before the error: its own help lists its options.
  const auto chosen = app.get_subcommands();
  return chosen.empty() ? std::string() : chosen.front()->get_name();
}

std::variant<OpenedOutputs, int> open_outputs(const std::vector<NamedOutput>& outputs,
                                              std::string_view stdout_owner,
                                              const std::vector<NamedOutput>& guarded) {
  std::vector<NamedOutput> checked = outputs;
  checked.insert(checked.end(), guarded.begin(), guarded.end());
  if (const auto clash = output_clash(checked, stdout_owner)) {
    std::fputs(usage_error(*clash).c_str(), stderr);
    return EXIT_USAGE;
  }
  OpenedOutputs opened;
  for (const NamedOutput& output : outputs) {
    std::optional<OutputFile>& file = opened.files.emplace_back();
    if (!output.given) continue;
    auto result = OutputFile::open(output.path);
    if (auto* message = std::get_if<std::string>(&result)) return fail(*message);
    file.emplace(std::move(std::get<OutputFile>(result)));
    if (file->is_standard_output()) opened.standard_output = true;
  }
  return opened;
}

const CLI::Validator FILE_NAME(
    [](const std::string& text) -> std::string {
      if (text.empty()) return "expected a file name, got ''";
      // Most likely an option whose value was forgotten ("--output --json").
      if (text.size() > 1 && text.front() == '-') {
        return fmt::format("expected a file name, got '{}' (a file of that name: ./{})", text,
                           text);
      }
      return {};
    },
    "", "file name");

CLI::Option* add_output_option(CLI::App& app, NamedOutput& output, const std::string& help) {
  return app
      .add_option_function<std::string>(
          output.option,
          [&output](const std::string& path) {
            output.path = path;
            output.given = true;
          },
          help)
      ->check(FILE_NAME)
      ->type_name("FILE");
}

const CLI::Validator SINCE_DATE(
    [](const std::string& text) -> std::string {
      if (parse_user_time(text)) return {};
      return fmt::format("expected a UTC date as YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS], got '{}'",
                         text);
    },
    "", "date");

int fail(const std::string& message) {
  tell("tarnwick: {}\n", message);
  return EXIT_FAILED;
}

}  // namespace tarnwick
