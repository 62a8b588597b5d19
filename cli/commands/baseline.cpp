#include "commands/baseline.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <set>
#include <variant>
#include <vector>

#include "document/comparability.hpp"
#include "document/reader.hpp"
#include "output/messages.hpp"
#include "store/history.hpp"
#include "store/location.hpp"
#include "util/text.hpp"

namespace tarnwick {

void add_baseline_options(CLI::App& compare, BaselineOptions& baseline, CompareOptions& options,
                          CommandAction& action) {
  auto* now = compare
                  .add_option("--baseline", baseline.now,
                              "Judge NEW against the last N stored runs of its host, label,\n"
                              "worker count and library version")
                  ->type_name("NEW");
  compare
      .add_option("--last", baseline.last, "How many stored runs make the baseline (default 10)")
      ->check(whole_number_text("a whole number of runs from 1 to 1000000", 1, 1000000))
      ->type_name("N")
      ->needs(now);
  compare.add_option("--history", baseline.history, "The history's database file")
      ->check(FILE_NAME)
      ->type_name("FILE")
      ->needs(now);
  // Replaces compare's own callback: with --baseline, BASE is the history.
  compare.callback([&baseline, &options, &action] {
    if (baseline.now.empty()) {
      action = [&options] { return compare_command(options); };
    } else {
      action = [&baseline, &options] { return baseline_command(baseline, options); };
    }
  });
}

int baseline_command(const BaselineOptions& baseline, const CompareOptions& options) {
  if (!options.base.empty() || !options.now.empty()) {
    tell(
        "tarnwick: --baseline: takes NEW alone, the history being BASE\n"
        "Run 'tarnwick compare --help' for the options.\n");
    return EXIT_USAGE;
  }
  auto read = read_document_file(baseline.now);
  if (auto* reason = std::get_if<std::string>(&read)) {
    return fail(fmt::format("NEW: {}", *reason));
  }
  ComparisonSide now{baseline.now, {std::get<LoadedDocument>(std::move(read))}};
  const LoadedDocument& document = now.documents.front();
  const auto path = history_path(baseline.history);
  if (!path) return fail(std::string(NO_HISTORY_PATH));
  auto opened = History::open(*path, Access::read);
  if (auto* failure = std::get_if<std::string>(&opened)) return fail(*failure);
  History& history = std::get<History>(opened);

  std::vector<std::string> own_ids;
  for (const LoadedRun& run : document.runs) own_ids.push_back(run.id);
  ComparisonSide base{fmt::format("history {}", *path), {}};
  std::set<std::string> labels;
  std::vector<std::string> missing;
  for (const LoadedRun& run : document.runs) {
    if (!labels.insert(run.label).second) continue;
    const RunKey key = run_key(document, run);
    std::vector<BaselineRun> runs;
    const auto failure =
        history.baseline_candidates(key.host, key.label, own_ids, [&](BaselineRun stored) {
          if (comparable(run_key(stored.run), key)) runs.push_back(std::move(stored));
          return static_cast<int64_t>(runs.size()) < baseline.last;
        });
    if (failure) return fail(*failure);
    std::reverse(runs.begin(), runs.end());
    if (runs.empty()) {
      missing.push_back(fmt::format("{} ({})", run.label, plural(run.threads, "worker")));
    }
    for (const BaselineRun& stored : runs) {
      LoadedDocument side;
      side.schema_version = 1;
      side.status = Status::completed;
      side.library_version = stored.run.library_version;
      if (!stored.run.host.empty()) side.hostname = stored.run.host;
      side.timestamp = stored.run.started;
      side.cpu_model = stored.run.cpu_model;
      side.arch = stored.run.arch;
      LoadedRun loaded;
      loaded.id = stored.run.id;
      loaded.label = stored.run.label;
      loaded.status = stored.run.status;
      loaded.threads = stored.run.threads;
      loaded.mean_rate = stored.run.mean_rate;
      loaded.cv_percent = stored.run.cv_percent;
      loaded.unstable = stored.run.unstable;
      loaded.started = stored.run.started;
      side.runs.push_back(std::move(loaded));
      base.documents.push_back(std::move(side));
    }
  }
  if (base.documents.empty()) {
    return fail(
        fmt::format("no stored runs to compare with: {} holds none of host {}, library {}, for {}; "
                    "store runs with --save",
                    *path, document.hostname.value_or("(unknown)"), document.library_version,
                    fmt::join(missing, ", ")));
  }
  base.source = fmt::format("history {} (last {} runs)", *path, base.documents.size());
  return report_comparison(base, now, options);
}

}  // namespace tarnwick
