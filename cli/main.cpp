// tarnwick: the command-line host of the benchmark library.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "csv_output.hpp"
#include "json_output.hpp"
#include "options.hpp"
#include "plot.hpp"
#include "report.hpp"
#include "runner.hpp"
#include "signals.hpp"
#include "summary.hpp"
#include "tarnwick.h"

namespace tarnwick {
namespace {

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

void warn(Session& session, std::string text) {
  fmt::print(stderr, "tarnwick: warning: {}\n", text);
  session.warnings.push_back(std::move(text));
}

int run_program(const Options& options) {
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
  if (auto text = load_warning(session.host)) warn(session, std::move(*text));

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
  const std::vector<std::string> late_warnings = stability_warnings(session);
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
  for (const std::string& text : late_warnings) fmt::print(stderr, "tarnwick: warning: {}\n", text);
  bool written = write_output(csv, samples_csv(session));
  written = write_output(plot, session_svg(session)) && written;
  const int status = exit_status(session);
  return status == 0 && !written ? 2 : status;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
  const tarnwick::CommandLine line = tarnwick::parse_command_line(argc, argv);
  std::fputs(line.out.c_str(), stdout);
  std::fputs(line.err.c_str(), stderr);
  if (!line.options) return line.exit_code;
  try {
    return tarnwick::run_program(*line.options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarnwick: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "tarnwick: unexpected error\n");
  }
  return 2;
}
