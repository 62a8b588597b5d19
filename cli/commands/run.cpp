#include "commands/run.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "document/json_writer.hpp"
#include "document/model.hpp"
#include "formats/csv.hpp"
#include "formats/numbers.hpp"
#include "formats/summary.hpp"
#include "formats/svg.hpp"
#include "run/runner.hpp"
#include "run/signals.hpp"
#include "run/warnings.hpp"
#include "tarnwick.h"

namespace tarnwick {
namespace {

// Checks the text only; the value is judged by the library.
const CLI::Validator STRICT_NUMBER(
    [](const std::string& text) -> std::string {
      if (parse_number(text)) return {};
      return fmt::format("'{}' is not a number", text);
    },
    "", "number");

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct OutputFile {
  std::string path;
  File file;
};

// Output files are opened before the run, so a typo in a path costs a
// second, not a whole run.
[[nodiscard]] bool open_output(const std::string& path, OutputFile& out) {
  if (path.empty()) return true;
  out.path = path;
  out.file.reset(std::fopen(path.c_str(), "w"));
  if (out.file) return true;
  fmt::print(stderr, "tarnwick: cannot write '{}': {}\n", path, std::strerror(errno));
  return false;
}

[[nodiscard]] bool write_output(OutputFile& out, const std::string& contents) {
  if (!out.file) return true;
  const bool written =
      std::fwrite(contents.data(), 1, contents.size(), out.file.get()) == contents.size() &&
      std::fclose(out.file.release()) == 0;
  if (!written)
    fmt::print(stderr, "tarnwick: cannot write '{}': {}\n", out.path, std::strerror(errno));
  return written;
}

void warn(Session& session, Warning warning) {
  fmt::print(stderr, "tarnwick: warning: {}\n", warning.text);
  session.warnings.push_back(std::move(warning));
}

}  // namespace

void add_run_options(CLI::App& app, RunOptions& options) {
  app.add_option_function<std::string>(
         "--warmup",
         [&options](const std::string& text) { options.warmup_seconds = parse_number(text); },
         "Warm-up length in seconds (library default 120)")
      ->check(STRICT_NUMBER)
      ->type_name("SECONDS");
  app.add_option_function<std::string>(
         "--measure",
         [&options](const std::string& text) { options.measure_seconds = parse_number(text); },
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
}

int run_command(const RunOptions& options) {
  if (options.version) {
    fmt::print("tarnwick {} (library ABI {}, built for ABI {})\n", tarnwick_version(),
               tarnwick_abi_version(), TARNWICK_ABI_VERSION);
    return 0;
  }
  OutputFile csv;
  OutputFile plot;
  if (!open_output(options.csv_path, csv) || !open_output(options.plot_path, plot)) return 2;

  install_signal_handlers();
  Session session;
  session.version = tarnwick_version();
  session.abi_version = tarnwick_abi_version();
  session.host = read_host_facts();
  session.environment = read_environment(session.host);
  if (auto warning = load_warning(session.host)) warn(session, std::move(*warning));

  tarnwick_config_t config{};
  if (tarnwick_default_config(&config) == 0) {
    fmt::print(stderr, "tarnwick: the library gave no default configuration\n");
    return 2;
  }
  if (options.warmup_seconds) config.warmup_seconds = *options.warmup_seconds;
  if (options.measure_seconds) config.measure_seconds = *options.measure_seconds;

  std::vector<std::pair<std::string, uint32_t>> plan;
  if (options.both || !options.all_cpus) plan.emplace_back("single", TARNWICK_BENCHMARK_SINGLE);
  if (options.both || options.all_cpus) plan.emplace_back("all-cpus", TARNWICK_BENCHMARK_ALL_CPUS);

  const bool show_progress = !options.quiet && isatty(STDERR_FILENO) == 1;
  for (const auto& [label, benchmark] : plan) {
    // A run that was stopped or failed ends the session: a second run
    // would be measured against nothing.
    if (!session.runs.empty() &&
        (interrupted() || session.runs.back().result.status != TARNWICK_STATUS_COMPLETED)) {
      break;
    }
    config.benchmark = benchmark;
    session.runs.push_back(run_once(config, label, show_progress));
    const RunReport& run = session.runs.back();
    if (run.result.status == TARNWICK_STATUS_FAILED) {
      fmt::print(stderr, "tarnwick: {}\n", run.reason);
    }
    // The library's count honours the control-group quota, the affinity
    // mask alone does not.
    if (benchmark == TARNWICK_BENCHMARK_ALL_CPUS && run.result.threads > 0) {
      session.host.cpus_available = run.result.threads;
      session.host.cpus_source = "library";
    }
  }
  // Kept for the document now, printed after the summary they qualify.
  const std::vector<Warning> late_warnings = stability_warnings(session);
  session.warnings.insert(session.warnings.end(), late_warnings.begin(), late_warnings.end());

  if (options.json) {
    fmt::print("{}\n", session_json(session).dump(
                           2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  } else if (std::any_of(session.runs.begin(), session.runs.end(), [](const RunReport& run) {
               return run.result.status != TARNWICK_STATUS_FAILED;
             })) {
    fmt::print("{}", session_summary(session));
  }
  std::fflush(stdout);
  for (const Warning& warning : late_warnings) {
    fmt::print(stderr, "tarnwick: warning: {}\n", warning.text);
  }
  bool written = write_output(csv, samples_csv(session));
  written = write_output(plot, session_svg(session)) && written;
  const int status = exit_status(session);
  return status == 0 && !written ? 2 : status;
}

}  // namespace tarnwick
