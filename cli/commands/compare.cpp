#include "commands/compare.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <utility>
#include <variant>

#include "compare/render.hpp"
#include "document/read_documents.hpp"
#include "output/atomic_file.hpp"
#include "output/messages.hpp"
#include "util/exit_status.hpp"
#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

const CLI::Validator PERCENT(
    [](const std::string& text) -> std::string {
      const auto value = parse_number(text);
      if (value && *value >= 0 && *value < 100) return {};
      return fmt::format("expected a percentage from 0 to below 100, got '{}'", text);
    },
    "", "percent");

// Standard error's messages, wrapped at word boundaries to 80 columns, the
// lines after the first indented.
void print_message(const std::string& prefix, const std::string& text) {
  constexpr std::size_t WIDTH = 80;
  std::string line = prefix;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    if (line.size() > 2 && line.back() != ' ' && line.size() + 1 + word.size() > WIDTH) {
      tell("{}\n", line);
      line = "  ";
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
    line += word;
    start = end + 1;
  }
  tell("{}\n", line);
}

}  // namespace

CLI::App& add_compare_command(CLI::App& app, CompareOptions& options, CommandAction& action) {
  CLI::App* command = app.add_subcommand(
      "compare", "Judges NEW against BASE per run label: ratio, 95 % CI, verdict");
  command->footer(
      "Exit status: 0 compared, 1 a --fail-slower gate tripped, 2 a document\n"
      "could not be read or compared, 3 a label could not be judged (fewer than\n"
      "3 runs on both sides) and no gate tripped, 64 bad command line.");
  command->add_option("BASE", options.base, "The reference result document ('-': stdin)")
      ->type_name("FILE");
  command->add_option("NEW", options.now, "The result document to judge ('-': stdin)")
      ->type_name("FILE");
  command->add_flag("--json", options.json, "Print the comparison as a JSON document");
  command
      ->add_option_function<std::string>(
          "--fail-slower",
          [&options](const std::string& text) { options.fail_slower = parse_number(text); },
          "Exit 1 when a label is slower by more than PCT %\n"
          "(the ratio's interval wholly below 1 - PCT/100)")
      ->check(PERCENT)
      ->type_name("PCT");
  command->callback(
      [&options, &action] { action = [&options] { return compare_command(options); }; });
  return *command;
}

int compare_command(const CompareOptions& options) {
  if (options.base.empty() || options.now.empty()) {
    tell(
        "tarnwick: compare: expected two documents, BASE and NEW\n"
        "Run 'tarnwick compare --help' for the options.\n");
    return EXIT_USAGE;
  }
  if (options.base == "-" && options.now == "-") {
    tell("tarnwick: compare: BASE and NEW cannot both be standard input ('-')\n");
    return EXIT_USAGE;
  }
  ComparisonSide sides[2];
  const char* names[2] = {"BASE", "NEW"};
  // Both sides are read within one budget. Any number of documents; a run
  // read twice on one side counts once, and a run id given two sets of
  // figures (on one side or across both) is left out wherever it is.
  MemoryBudget budget;
  SeenRuns seen[2] = {SeenRuns(&budget), SeenRuns(&budget)};
  for (int i = 0; i < 2; ++i) {
    const std::string& path = i == 0 ? options.base : options.now;
    sides[i].source = path;
    ReadDocuments read = read_documents_file(path, ReadOptions{}, seen[i], budget);
    for (const std::string& reason : read.left_out.listed()) {
      tell("tarnwick: {}: left out: {}\n", names[i], reason);
    }
    if (read.left_out.unlisted() > 0) {
      tell("tarnwick: {}: {}\n", names[i], read.left_out.unlisted_note());
    }
    if (read.over_budget) {
      tell(
          "tarnwick: {}: the documents need more than the {} MiB memory budget; nothing was "
          "compared\n",
          names[i], MEMORY_BUDGET >> 20);
      return EXIT_FAILED;
    }
    if (read.documents.empty()) {
      tell("tarnwick: {}: no result document could be read\n", names[i]);
      return EXIT_FAILED;
    }
    sides[i].documents = std::move(read.documents);
  }
  seen[0].cross_check(seen[1]);
  for (int i = 0; i < 2; ++i) {
    for (const std::string& conflict : seen[i].conflicts()) {
      tell("tarnwick: {}: left out: {}\n", names[i], printable(conflict));
    }
    seen[i].drop_conflicts(sides[i].documents);
    if (sides[i].documents.empty()) {
      tell("tarnwick: {}: no result document could be read\n", names[i]);
      return EXIT_FAILED;
    }
  }
  return report_comparison(sides[0], sides[1], options);
}

int report_comparison(const ComparisonSide& base, const ComparisonSide& now,
                      const CompareOptions& options) {
  const auto outcome = compare_sides(base, now);
  if (const auto* reason = std::get_if<std::string>(&outcome)) {
    tell("tarnwick: cannot compare: {}\n", printable(*reason));
    return EXIT_FAILED;
  }
  const Comparison& comparison = std::get<Comparison>(outcome);
  const std::string text =
      options.json ? json_text(comparison_json(comparison, options.fail_slower), Layout::indented)
                   : comparison_text(comparison);
  // Output that cannot be written is a failure, not a silent success.
  const auto unwritten = write_standard_output(text);
  for (const ComparisonWarning& warning : comparison.warnings) {
    print_message("tarnwick: warning: ", printable(warning.text));
  }
  if (unwritten) {
    tell("tarnwick: {}\n", *unwritten);
    return EXIT_FAILED;
  }
  if (options.fail_slower) {
    const std::vector<std::string> messages = gate_messages(comparison, *options.fail_slower);
    for (const std::string& message : messages) print_message("tarnwick: ", printable(message));
    if (!messages.empty()) return EXIT_GATE;
  }
  return not_judged(comparison) > 0 ? EXIT_NOT_JUDGED : EXIT_OK;
}

}  // namespace tarnwick
