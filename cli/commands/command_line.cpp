#include "commands/command_line.hpp"

#include <fmt/format.h>

#include <charconv>
#include <regex>

#include "formats/numbers.hpp"

namespace tarnwick {
namespace {

constexpr const char* DESCRIPTION =
    "tarnwick: measures the sustained CPU throughput of this machine in kernel steps per "
    "second.\nWith no options: one worker, the library's default warm-up (120 s) and "
    "measurement window (60 s).";

constexpr const char* FOOTER =
    "Exit status: 0 completed, 1 cancelled (Ctrl-C or SIGTERM; a second Ctrl-C leaves at once),\n"
    "2 failed or rejected by the library (its reason on standard error), or an output could\n"
    "not be written, 64 bad command line.";

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

// CLI11's own texts, said the program's way.
std::string usage_text(const CLI::ParseError& error) {
  const std::string text = error.what();
  std::smatch match;
  if (std::regex_match(text, match, std::regex(R"((\S+): \d+ required .* missing)"))) {
    return match[1].str() + ": needs a value";
  }
  if (std::regex_match(text, match,
                       std::regex(R"(The following arguments? (?:was|were) not expected: (.*))"))) {
    const std::string first = match[1].str().substr(0, match[1].str().find(' '));
    if (!first.empty() && first.front() == '-') return fmt::format("unknown option '{}'", first);
    return fmt::format("unexpected argument '{}'", first);
  }
  if (std::regex_match(text, match, std::regex(R"((\S+) excludes (\S+))"))) {
    return fmt::format("{} and {} cannot be used together", match[1].str(), match[2].str());
  }
  return text;
}

}  // namespace

std::unique_ptr<CLI::App> make_program() {
  auto app = std::make_unique<CLI::App>(DESCRIPTION, "tarnwick");
  app->footer(FOOTER);
  app->get_formatter()->column_width(22);
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

CLI::Validator one_of(std::vector<std::string> choices) {
  return CLI::Validator(
      [choices](std::string& text) -> std::string {
        for (const std::string& choice : choices) {
          if (text == choice) return {};
        }
        std::string list;
        for (std::size_t i = 0; i < choices.size(); ++i) {
          list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
        }
        return wanted(list, text);
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
    outcome.exit_code = EXIT_USAGE;
    outcome.err = usage_error(usage_text(error));
    return outcome;
  }
  if (std::string repeated = repeated_option(app); !repeated.empty()) {
    outcome.exit_code = EXIT_USAGE;
    outcome.err = usage_error(repeated);
    return outcome;
  }
  outcome.proceed = true;
  return outcome;
}

std::string usage_error(const std::string& message) {
  return fmt::format("tarnwick: {}\nRun 'tarnwick --help' for the options.\n", message);
}

int fail(const std::string& message) {
  fmt::print(stderr, "tarnwick: {}\n", message);
  return EXIT_FAILED;
}

}  // namespace tarnwick
