#include "commands/command_line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "commands/run.hpp"

namespace tarnwick {
namespace {

// The outcome of parsing, with the run's options when the parse proceeds.
struct CommandLine {
  std::optional<RunOptions> options;
  int exit_code = 0;
  std::string out, err;
};

CommandLine parse(std::initializer_list<const char*> arguments) {
  std::vector<const char*> argv{"tarnwick"};
  argv.insert(argv.end(), arguments);
  const auto app = make_program();
  RunOptions options;
  add_run_options(*app, options);
  const ParseOutcome outcome = parse_command_line(*app, static_cast<int>(argv.size()), argv.data());
  CommandLine line{std::nullopt, outcome.exit_code, outcome.out, outcome.err};
  if (outcome.proceed) line.options = options;
  return line;
}

TEST(CommandLine, NoOptionsLeavesTheLibraryDefaults) {
  const CommandLine line = parse({});
  ASSERT_TRUE(line.options.has_value());
  EXPECT_FALSE(line.options->warmup_seconds.has_value());
  EXPECT_FALSE(line.options->measure_seconds.has_value());
  EXPECT_FALSE(line.options->all_cpus || line.options->both || line.options->json ||
               line.options->quiet || line.options->version);
  EXPECT_TRUE(line.options->csv.path.empty() && !line.options->csv.given);
  EXPECT_TRUE(!line.options->plot.given);
}

TEST(CommandLine, ReadsEveryOption) {
  const CommandLine line =
      parse({"--warmup", "0.05", "--measure=1.3", "--all-cpus", "--json", "--csv", "s.csv",
             "--plot", "p.svg", "--quiet", "--repeat", "3", "--color", "never"});
  ASSERT_TRUE(line.options.has_value()) << line.err;
  EXPECT_EQ(line.options->warmup_seconds, 0.05);
  EXPECT_EQ(line.options->measure_seconds, 1.3);
  EXPECT_TRUE(line.options->all_cpus);
  EXPECT_TRUE(line.options->json);
  EXPECT_TRUE(line.options->quiet);
  EXPECT_EQ(line.options->csv.path, "s.csv");
  EXPECT_EQ(line.options->plot.path, "p.svg");
  EXPECT_EQ(line.options->repeat, 3u);
  EXPECT_EQ(line.options->color, ColorChoice::never);
}

TEST(CommandLine, PassesValuesTheLibraryMustJudge) {
  // Negative and not-a-number durations are numbers: the library rejects
  // them with its own reason, so they must reach it unchanged.
  const CommandLine negative = parse({"--warmup", "-1"});
  ASSERT_TRUE(negative.options.has_value()) << negative.err;
  EXPECT_EQ(negative.options->warmup_seconds, -1.0);
  const CommandLine nan = parse({"--measure", "nan"});
  ASSERT_TRUE(nan.options.has_value()) << nan.err;
  ASSERT_TRUE(nan.options->measure_seconds.has_value());
  EXPECT_TRUE(std::isnan(*nan.options->measure_seconds));
  // Beyond the double range: infinity and zero, for the library to judge.
  const CommandLine huge = parse({"--warmup", "1e400", "--measure", "-1e-400"});
  ASSERT_TRUE(huge.options.has_value()) << huge.err;
  EXPECT_EQ(huge.options->warmup_seconds, HUGE_VAL);
  EXPECT_EQ(huge.options->measure_seconds, 0.0);
  const CommandLine zero = parse({"--measure", "0"});
  ASSERT_TRUE(zero.options.has_value());
  EXPECT_EQ(zero.options->measure_seconds, 0.0);
}

TEST(CommandLine, UsageErrorsExitWith64AndAHint) {
  struct Case {
    std::initializer_list<const char*> arguments;
    const char* names;  // part of the message
  };
  for (const Case& c :
       {Case{{"--warmup", "5s"}, "--warmup: expected a number of seconds, got '5s'"},
        Case{{"--measure", ""}, "--measure: expected a number of seconds, got ''"},
        Case{{"--measure", " 5"}, "got ' 5'"}, Case{{"--measure"}, "--measure: needs a value"},
        Case{{"--warmup", "--quiet"}, "--warmup: needs a value"},
        Case{{"--warmup", "1", "--warmup", "2"}, "--warmup given twice"},
        Case{{"--json", "--json"}, "--json given twice"},
        Case{{"--bogus"}, "unknown option '--bogus'"},
        Case{{"extra"}, "unexpected argument 'extra'"},
        Case{{"--both", "--all-cpus"}, "cannot be used together"},
        Case{{"--repeat", "0"}, "--repeat: expected a whole number of runs"},
        Case{{"--repeat", "2.5"}, "--repeat: expected a whole number of runs"},
        Case{{"--color", "blue"}, "--color: expected auto, always or never, got 'blue'"}}) {
    const CommandLine line = parse(c.arguments);
    EXPECT_FALSE(line.options.has_value()) << c.names;
    EXPECT_EQ(line.exit_code, EXIT_USAGE) << c.names;
    EXPECT_EQ(line.err.rfind("tarnwick: ", 0), 0u) << line.err;
    EXPECT_NE(line.err.find(c.names), std::string::npos) << line.err;
    EXPECT_NE(line.err.find("--help"), std::string::npos) << line.err;
    EXPECT_TRUE(line.out.empty());
  }
}

TEST(CommandLine, HelpListsTheOptionsAndExitsZero) {
  const CommandLine line = parse({"--help"});
  EXPECT_FALSE(line.options.has_value());
  EXPECT_EQ(line.exit_code, 0);
  for (const char* option :
       {"--all-cpus", "--warmup", "--measure", "--both", "--json", "--csv", "--plot", "--output",
        "--repeat", "--color", "--quiet", "--version", "Exit status"}) {
    EXPECT_NE(line.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace tarnwick
