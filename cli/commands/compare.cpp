#include "commands/compare.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <utility>
#include <variant>

#include "compare/ci.hpp"
#include "compare/render.hpp"
#include "document/read_documents.hpp"
#include "output/atomic_file.hpp"
#include "output/ci_report.hpp"
#include "output/messages.hpp"
#include "output/terminal.hpp"
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

const CLI::Validator DIFFERENCES(
    [](const std::string& text) -> std::string {
      std::string refused;
      if (parse_differences(text, &refused)) return {};
      if (refused == "library") {
        return "a library version is never judged across: its rates may be other units";
      }
      return fmt::format("expected differences to accept among workers, cpu and arch, got '{}'",
                         refused);
    },
    "", "differences");

// A message on standard error, folded at spaces as the run's warnings are:
// to the terminal's width on a terminal, never off one.
void print_message(const std::string& prefix, const std::string& text) {
  tell("{}\n", wrap_words(prefix + printable(text), style_for(stderr, ColorChoice::never).wrap, 2));
}

std::string heading(const Comparison& comparison) {
  const auto one = [](const std::vector<std::string>& values) {
    return values.empty() ? std::string("unknown") : values.front();
  };
  return fmt::format("NEW of host {}, CPU {}", printable(one(comparison.now.hosts)),
                     printable(one(comparison.now.cpu_models)));
}

}  // namespace

CLI::App& add_compare_command(CLI::App& app, CompareOptions& options, CommandAction& action) {
  CLI::App* command = app.add_subcommand(
      "compare", "Judges NEW against BASE per run label: ratio, 95 % CI, verdict");
  command->footer(
      "Only like is judged with like: runs of other worker counts, CPU models,\n"
      "architectures or library versions are shown, not judged. A run counts\n"
      "once (on BASE's side when both hold it); equal rates count once; runs\n"
      "disturbed by other work are left out.\n"
      "Exit status: 0 compared, 1 a --fail-slower gate tripped, 2 a document\n"
      "could not be read or compared, 3 a label could not be judged and no gate\n"
      "tripped, 64 bad command line.");
  command->add_option("BASE", options.base, "The reference result documents ('-': stdin)")
      ->type_name("FILE");
  command->add_option("NEW", options.now, "The result documents to judge ('-': stdin)")
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
  command
      ->add_option_function<std::string>(
          "--across",
          [&options](const std::string& text) {
            options.rules.across = parse_differences(text).value_or(0);
          },
          "Judge across these differences, e.g. cpu,workers\n"
          "(of workers, cpu, arch; never the library version)")
      ->check(DIFFERENCES)
      ->type_name("LIST");
  command->add_flag("--keep-disturbed", options.rules.keep_disturbed,
                    "Judge runs disturbed by other work too");
  add_output_option(*command, options.junit,
                    "Write a JUnit XML report to FILE: a test case per label");
  add_output_option(*command, options.markdown, "Add a Markdown table to FILE (a CI step summary)");
  command->callback(
      [&options, &action] { action = [&options] { return compare_command(options); }; });
  return *command;
}

bool read_side(const std::string& path, const char* name, ComparisonSide& side, SeenRuns& seen,
               MemoryBudget& budget) {
  side.source = path;
  // Any number of documents; a run read twice on one side counts once.
  ReadDocuments read = read_documents_file(path, ReadOptions{}, seen, budget);
  for (const std::string& reason : read.left_out.listed()) {
    tell("tarnwick: {}: left out: {}\n", name, printable(reason));
  }
  if (read.left_out.unlisted() > 0) tell("tarnwick: {}: {}\n", name, read.left_out.unlisted_note());
  if (read.over_budget) {
    tell(
        "tarnwick: {}: the documents need more than the {} MiB memory budget; nothing was "
        "compared\n",
        name, MEMORY_BUDGET >> 20);
    return false;
  }
  if (read.documents.empty()) {
    tell("tarnwick: {}: no result document could be read\n", name);
    return false;
  }
  side.documents = std::move(read.documents);
  return true;
}

bool drop_conflicts(const SeenRuns& seen, const char* name, ComparisonSide& side) {
  for (const std::string& conflict : seen.conflicts()) {
    tell("tarnwick: {}: left out: {}\n", name, printable(conflict));
  }
  seen.drop_conflicts(side.documents);
  if (side.documents.empty()) {
    tell("tarnwick: {}: no result document could be read\n", name);
    return false;
  }
  return true;
}

int compare_command(const CompareOptions& options) {
  if (options.base.empty() || options.now.empty()) {
    tell("{}", usage_error("compare: expected two documents, BASE and NEW", "compare"));
    return EXIT_USAGE;
  }
  if (options.base == "-" && options.now == "-") {
    tell("{}", usage_error("compare: BASE and NEW cannot both be standard input ('-')", "compare"));
    return EXIT_USAGE;
  }
  // Both sides are read within one budget; a run id given two sets of
  // figures (on one side or across both) is left out wherever it is.
  MemoryBudget budget;
  SeenRuns seen[2] = {SeenRuns(&budget), SeenRuns(&budget)};
  std::vector<SidePair> pairs(1);
  if (!read_side(options.base, "BASE", pairs[0].base, seen[0], budget)) return EXIT_FAILED;
  if (!read_side(options.now, "NEW", pairs[0].now, seen[1], budget)) return EXIT_FAILED;
  seen[0].cross_check(seen[1]);
  if (!drop_conflicts(seen[0], "BASE", pairs[0].base)) return EXIT_FAILED;
  if (!drop_conflicts(seen[1], "NEW", pairs[0].now)) return EXIT_FAILED;
  return report_comparisons(pairs, options);
}

int report_comparisons(const std::vector<SidePair>& pairs, const CompareOptions& options) {
  auto opened = open_outputs({options.junit, options.markdown}, "the comparison");
  if (const int* status = std::get_if<int>(&opened)) return *status;
  OpenedOutputs outputs = std::get<OpenedOutputs>(std::move(opened));

  std::vector<Comparison> comparisons;
  std::size_t missing = 0;
  for (const SidePair& pair : pairs) {
    if (!pair.missing.empty()) {
      // Nothing to compare with at all is a failure; a group of several
      // without a baseline is a label not judged.
      print_message(pairs.size() == 1 ? "tarnwick: " : "tarnwick: not judged: ", pair.missing);
      ++missing;
      continue;
    }
    auto outcome = compare_sides(pair.base, pair.now, options.rules);
    if (auto* reason = std::get_if<std::string>(&outcome)) {
      print_message("tarnwick: cannot compare: ", *reason);
      return EXIT_FAILED;
    }
    comparisons.push_back(std::get<Comparison>(std::move(outcome)));
  }
  if (comparisons.empty()) return EXIT_FAILED;

  std::string text;
  if (options.json) {
    text = ascii_json_text(comparisons_json(comparisons, options.fail_slower));
  } else {
    const int width = style_for(stdout, ColorChoice::never).wrap;
    for (const Comparison& comparison : comparisons) {
      if (!text.empty()) text += '\n';
      if (pairs.size() > 1) text += wrap_words("== " + heading(comparison) + "\n", width, 3);
      text += comparison_text(comparison, width);
    }
  }
  // Output that cannot be written is a failure, not a silent success.
  const auto unwritten = write_standard_output(text);
  for (const Comparison& comparison : comparisons) {
    for (const LeftOut& runs : comparison.left_out) print_message("tarnwick: ", runs.text);
    for (const ComparisonWarning& warning : comparison.warnings) {
      print_message("tarnwick: warning: ", warning.text);
    }
  }
  if (unwritten) {
    tell("tarnwick: {}\n", *unwritten);
    return EXIT_FAILED;
  }

  std::vector<CiSuite> suites;
  std::vector<MarkdownTable> tables;
  for (const Comparison& comparison : comparisons) {
    suites.push_back(comparison_suite(comparison, options.fail_slower));
    tables.push_back(comparison_table(comparison, options.fail_slower));
  }
  if (auto& junit = outputs.files[0]) {
    if (const auto failure = junit->commit(junit_xml(suites))) return fail(*failure);
  }
  if (auto& markdown = outputs.files[1]) {
    if (const auto failure = append_markdown(*markdown, markdown_tables(tables))) {
      return fail(*failure);
    }
  }

  bool tripped = false;
  std::size_t unjudged = missing;
  for (const Comparison& comparison : comparisons) {
    unjudged += not_judged(comparison);
    if (!options.fail_slower) continue;
    for (const std::string& message : gate_messages(comparison, *options.fail_slower)) {
      print_message("tarnwick: ", message);
      tripped = true;
    }
  }
  if (tripped) return EXIT_GATE;
  return unjudged > 0 ? EXIT_NOT_JUDGED : EXIT_OK;
}

}  // namespace tarnwick
