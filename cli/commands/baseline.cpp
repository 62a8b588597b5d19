#include "commands/baseline.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <variant>
#include <vector>

#include "document/comparability.hpp"
#include "document/reader.hpp"
#include "output/messages.hpp"
#include "store/history.hpp"
#include "store/location.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

std::string host_name(const std::string& host) {
  return host.empty() ? std::string("no known host") : "host " + printable(host);
}

// Why a stored run of NEW's host and label is not part of its baseline.
struct Exclusion {
  std::string kind;   // workers, library, arch, cpu, rate, disturbed
  std::string value;  // the stored run's value of that fact, as shown
};

std::optional<Exclusion> exclusion(const BaselineRun& stored, const RunKey& key,
                                   const CompareRules& rules) {
  const ListedRun& run = stored.run;
  const Differences found = differences(run_key(run), key);
  if ((found & bit(Difference::cpu)) != 0) {
    return Exclusion{"cpu", printable(run.cpu_model.value_or("unknown"))};
  }
  if ((found & bit(Difference::arch)) != 0) {
    return Exclusion{"arch", printable(run.arch.value_or("unknown"))};
  }
  if ((found & bit(Difference::workers)) != 0) {
    return Exclusion{"workers", std::to_string(run.threads)};
  }
  if ((found & bit(Difference::library)) != 0) {
    return Exclusion{"library", printable(run.library_version)};
  }
  if (!run.mean_rate || !judgeable_rate(*run.mean_rate)) {
    return Exclusion{"rate", fmt::format("{:g}", run.mean_rate.value_or(0))};
  }
  const Disturbance disturbance =
      judge_disturbance(stored.other_cpus, stored.steal_percent, stored.cpus_available, run.threads,
                        stored.in_container);
  if (disturbance.disturbed() && !rules.keep_disturbed) return Exclusion{"disturbed", {}};
  return std::nullopt;
}

std::string exclusion_text(const std::string& kind, std::size_t count, const std::string& host,
                           const std::string& label, const std::vector<std::string>& values) {
  const std::string runs = fmt::format("{} of {}, '{}',", plural(count, "stored run"),
                                       host_name(host), printable(label));
  const std::string listed = fmt::format("{}", fmt::join(values, ", "));
  if (kind == "cpu") return fmt::format("{} on another CPU model ({}) left out", runs, listed);
  if (kind == "arch") return fmt::format("{} on another architecture ({}) left out", runs, listed);
  if (kind == "workers") {
    return fmt::format("{} with another worker count ({}) left out", runs, listed);
  }
  if (kind == "library") {
    return fmt::format(
        "{} of another library version ({}) left out: a new version starts a new "
        "baseline",
        runs, listed);
  }
  if (kind == "rate") {
    return fmt::format("{} with a mean rate that cannot be judged ({}) left out", runs, listed);
  }
  return fmt::format("{} disturbed by other work left out; --keep-disturbed keeps them", runs);
}

// A stored run as compare reads a run: one document of its own.
LoadedDocument as_document(const BaselineRun& stored) {
  LoadedDocument side;
  side.schema_version = 1;
  side.status = Status::completed;
  side.library_version = stored.run.library_version;
  if (!stored.run.host.empty()) side.hostname = stored.run.host;
  side.timestamp = stored.run.started;
  side.cpu_model = stored.run.cpu_model;
  side.arch = stored.run.arch;
  if (stored.cpus_available && *stored.cpus_available >= 0 &&
      *stored.cpus_available <= MAX_THREADS) {
    side.cpus_available = static_cast<uint32_t>(*stored.cpus_available);
  }
  LoadedRun loaded;
  loaded.id = stored.run.id;
  loaded.label = stored.run.label;
  loaded.status = stored.run.status;
  loaded.threads = stored.run.threads;
  loaded.mean_rate = stored.run.mean_rate;
  loaded.cv_percent = stored.run.cv_percent;
  loaded.unstable = stored.run.unstable;
  loaded.started = stored.run.started;
  loaded.steal_percent = stored.steal_percent;
  loaded.other_cpus = stored.other_cpus;
  loaded.in_container = stored.in_container;
  side.runs.push_back(std::move(loaded));
  return side;
}

// NEW's documents by host, CPU model and architecture: one comparison each.
std::vector<ComparisonSide> groups_of(ComparisonSide all) {
  std::vector<ComparisonSide> groups;
  std::map<std::tuple<std::string, std::string, std::string>, std::size_t> index;
  for (LoadedDocument& document : all.documents) {
    const RunKey key =
        run_key(document.hostname.value_or(""), {}, 0, {}, document.arch, document.cpu_model);
    const auto [at, added] = index.try_emplace({key.host, key.cpu_model, key.arch}, groups.size());
    if (added) groups.push_back({all.source, {}, {}});
    groups[at->second].documents.push_back(std::move(document));
  }
  return groups;
}

// The last `last` stored runs like `key` (the run's own ids aside), oldest
// first, into pair.base, with what was excluded and why.
std::optional<std::string> choose_base(History& history, const RunKey& key,
                                       const std::vector<std::string>& own_ids, int64_t last,
                                       const CompareRules& rules, SidePair& pair) {
  std::vector<BaselineRun> chosen;
  // Per kind of exclusion: how many, and the values met.
  std::map<std::string, std::pair<std::size_t, std::vector<std::string>>> excluded;
  auto failure = history.baseline_candidates(key.host, key.label, own_ids, [&](BaselineRun stored) {
    if (auto why = exclusion(stored, key, rules)) {
      auto& [count, values] = excluded[why->kind];
      ++count;
      if (!why->value.empty() &&
          std::find(values.begin(), values.end(), why->value) == values.end()) {
        values.push_back(why->value);
      }
      return true;
    }
    chosen.push_back(std::move(stored));
    return static_cast<int64_t>(chosen.size()) < last;
  });
  if (failure) return failure;
  for (const auto& [kind, found] : excluded) {
    pair.base.left_out.push_back(
        {"BASE",
         key.label,
         kind,
         found.first,
         {},
         exclusion_text(kind, found.first, key.host, key.label, found.second)});
  }
  // Oldest first, as runs were made.
  std::transform(chosen.rbegin(), chosen.rend(), std::back_inserter(pair.base.documents),
                 [](const BaselineRun& stored) { return as_document(stored); });
  return std::nullopt;
}

}  // namespace

void add_baseline_options(CLI::App& compare, BaselineOptions& baseline, CompareOptions& options,
                          CommandAction& action) {
  auto* now = compare
                  .add_option("--baseline", baseline.now,
                              "Judge NEW ('-': stdin) against the last N stored runs\n"
                              "of its host, CPU model, architecture, label, worker\n"
                              "count and library version")
                  ->type_name("NEW");
  compare
      .add_option("--last", baseline.last,
                  "How many stored runs make the baseline (default 10), counted\n"
                  "among the runs that qualify")
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
    tell("{}", usage_error("--baseline: takes NEW alone, the history being BASE", "compare"));
    return EXIT_USAGE;
  }
  // A history named on the command line must exist: a mistyped name is not
  // an empty history.
  if (!baseline.history.empty()) {
    struct stat info {};
    if (stat(baseline.history.c_str(), &info) != 0) {
      return fail(fmt::format("history '{}': {}", printable(baseline.history),
                              errno == ENOENT ? "no such file" : std::strerror(errno)));
    }
  }
  ComparisonSide all;
  MemoryBudget budget;
  SeenRuns seen(&budget);
  if (!read_side(baseline.now, "NEW", all, seen, budget)) return EXIT_FAILED;
  if (!drop_conflicts(seen, "NEW", all)) return EXIT_FAILED;
  const auto path = history_path(baseline.history);
  if (!path) return fail(std::string(NO_HISTORY_PATH));
  auto opened = History::open(*path, Access::read);
  if (auto* failure = std::get_if<std::string>(&opened)) return fail(*failure);
  History& history = std::get<History>(opened);

  std::vector<std::string> own_ids;
  for (const LoadedDocument& document : all.documents) {
    for (const LoadedRun& run : document.runs) own_ids.push_back(run.id);
  }
  std::vector<SidePair> pairs;
  for (ComparisonSide& group : groups_of(std::move(all))) {
    SidePair pair;
    pair.now = std::move(group);
    std::vector<RunKey> keys;
    for (const LoadedDocument& document : pair.now.documents) {
      for (const LoadedRun& run : document.runs) {
        const RunKey key = run_key(document, run);
        if (run.status == Status::completed &&
            std::find(keys.begin(), keys.end(), key) == keys.end()) {
          keys.push_back(key);
        }
      }
    }
    std::vector<std::string> wanted;
    for (const RunKey& key : keys) {
      if (auto failure = choose_base(history, key, own_ids, baseline.last, options.rules, pair)) {
        return fail(*failure);
      }
      wanted.push_back(
          fmt::format("'{}' with {}", printable(key.label), plural(key.threads, "worker")));
    }
    const std::size_t runs = pair.base.documents.size();
    pair.base.source = fmt::format("history {} (last {})", *path, plural(runs, "run"));
    if (runs == 0) {
      const LoadedDocument& first = pair.now.documents.front();
      std::vector<std::string> left;
      for (const LeftOut& out : pair.base.left_out) left.push_back(out.text);
      pair.missing = fmt::format(
          "no stored runs to compare with: {} holds none of {}, CPU {}, library {}, for {}{}; "
          "store runs with --save",
          printable(*path), host_name(first.hostname.value_or("")),
          printable(first.cpu_model.value_or("unknown")), printable(first.library_version),
          fmt::join(wanted, ", "),
          left.empty() ? std::string() : fmt::format(" ({})", fmt::join(left, "; ")));
    }
    pairs.push_back(std::move(pair));
  }
  return report_comparisons(pairs, options);
}

}  // namespace tarnwick
