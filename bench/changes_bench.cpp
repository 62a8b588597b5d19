// Figures of `history --changes`: the whole path (the store's query, the
// series, every series' change points on both CPUs) against a history of
// 100,000 completed runs in 1,000 series of 100, one in twenty with a 6 %
// step (built once in a temporary directory), and the method's false-alarm
// rate and detection delay on 100 seeded simulations (reported as
// counters, for README).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "changes/changes.hpp"
#include "stats/change_points.hpp"
#include "store/history.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

constexpr int SERIES = 1000;
constexpr int RUNS_PER_SERIES = 100;

// One document per night and host, with a run of each label.
LoadedDocument night_of(int host, int night, std::mt19937_64& random) {
  std::normal_distribution<double> noise(0, 0.02);
  LoadedDocument entry;
  entry.schema_version = 1;
  entry.library_version = "0.0.2";
  entry.hostname = fmt::format("node{:04}", host);
  entry.timestamp = fmt::format("2026-{:02}-{:02}T02:00:00Z", 1 + night / 28, 1 + night % 28);
  entry.json = fmt::format(R"({{"schema_version":1,"program":"tarnwick","runs":[]}})");
  for (int label = 0; label < 2; ++label) {
    LoadedRun run;
    run.id = fmt::format("{:08x}{:08x}{:016x}", host, night, label);
    run.label = label == 0 ? "single" : "all-cpus";
    run.status = 0;
    run.threads = label == 0 ? 1 : 2;
    const bool stepped = host % 10 == 0 && label == 1 && night >= 60;
    run.mean_rate = 1e9 * (stepped ? 0.94 : 1.0) * (1 + noise(random));
    run.cv_percent = 1.0;
    run.started = entry.timestamp;
    run.json = fmt::format(R"({{"id":"{}","label":"{}","status":0}})", run.id, run.label);
    entry.runs.push_back(std::move(run));
  }
  return entry;
}

const std::string& history_path() {
  static const std::string path = [] {
    const fs::path directory =
        fs::temp_directory_path() / fmt::format("changes-bench-{}", getpid());
    fs::create_directories(directory);
    const std::string file = (directory / "history.db").string();
    auto opened = History::open(file, Access::write);
    if (auto* failure = std::get_if<std::string>(&opened)) {
      fmt::print(stderr, "{}\n", *failure);
      std::exit(1);
    }
    std::mt19937_64 random(1);
    std::vector<LoadedDocument> documents;
    for (int night = 0; night < RUNS_PER_SERIES; ++night) {
      for (int host = 0; host < SERIES / 2; ++host)
        documents.push_back(night_of(host, night, random));
    }
    if (std::holds_alternative<WriteFailure>(std::get<History>(opened).save(documents)))
      std::exit(1);
    std::atexit([] { fs::remove_all(fs::path(history_path()).parent_path()); });
    return file;
  }();
  return path;
}

void BM_HistoryChanges(benchmark::State& state) {
  const std::string& path = history_path();
  std::size_t runs = 0, in_stepped = 0, in_quiet = 0;
  for (auto _ : state) {
    auto opened = History::open(path, Access::read);
    auto listed = std::get<History>(opened).completed_runs(std::nullopt, std::nullopt);
    auto series = series_of(std::get<std::vector<ListedRun>>(listed), std::nullopt);
    find_changes(series, {}, static_cast<unsigned>(state.range(0)));
    in_stepped = in_quiet = 0;
    for (const FoundChange& change : large_changes(series, 2)) {
      const SeriesKey& key = change.series->key;
      const bool stepped = key.threads == 2 && std::stoi(key.host.substr(4)) % 10 == 0;
      ++(stepped ? in_stepped : in_quiet);
    }
    runs = std::get<std::vector<ListedRun>>(listed).size();
  }
  state.counters["runs"] = static_cast<double>(runs);
  state.counters["changes_stepped_series"] = static_cast<double>(in_stepped);
  state.counters["changes_quiet_series"] = static_cast<double>(in_quiet);
}
BENCHMARK(BM_HistoryChanges)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StoreQuery(benchmark::State& state) {
  const std::string& path = history_path();
  for (auto _ : state) {
    auto opened = History::open(path, Access::read);
    benchmark::DoNotOptimize(std::get<History>(opened).completed_runs(std::nullopt, std::nullopt));
  }
}
BENCHMARK(BM_StoreQuery)->Unit(benchmark::kMillisecond);

// One series of 10,000 runs (a year of hourly runs) with a 5 % drop and a
// 3 % recovery: the cost of a long series, where every significant split
// runs all its permutations.
void BM_LongSeries(benchmark::State& state) {
  std::mt19937_64 generator(9);
  std::normal_distribution<double> noise(0, 0.02);
  std::vector<double> values;
  for (int i = 0; i < 10000; ++i) {
    values.push_back(1e9 * (i < 4000 ? 1.0 : i < 7000 ? 0.95 : 0.98) * (1 + noise(generator)));
  }
  std::size_t found = 0;
  for (auto _ : state) found = change_points(values).size();
  state.counters["change_points"] = static_cast<double>(found);
}
BENCHMARK(BM_LongSeries)->Unit(benchmark::kMillisecond)->Iterations(1);

std::vector<double> simulated(unsigned seed, std::size_t step_at, double step) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> noise(0, 0.02);
  std::vector<double> values;
  for (std::size_t i = 0; i < 80; ++i) {
    values.push_back(1e9 * (i >= step_at ? 1 + step : 1.0) * (1 + noise(generator)));
  }
  return values;
}

// 100 seeds of 80 runs at a 2 % spread: quiet, and with a 6 % drop at run
// 50. Counters: seeds with any significant change, and with one of 3 % or
// more (false alarms); drops found, and their distance from run 50.
void BM_Simulation(benchmark::State& state) {
  double any = 0, large = 0, found = 0, delay_sum = 0, delay_max = 0, extra = 0;
  for (auto _ : state) {
    any = large = found = delay_sum = delay_max = extra = 0;
    for (unsigned seed = 1; seed <= 100; ++seed) {
      const auto quiet = simulated(seed, 80, 0);
      const auto changes = describe_changes(quiet, change_points(quiet));
      any += changes.empty() ? 0 : 1;
      for (const Change& change : changes) {
        if (std::fabs(change.change_percent) >= 3) {
          large += 1;
          break;
        }
      }
      const auto stepped = simulated(seed, 50, -0.06);
      double best = 1e9;
      for (const Change& change : describe_changes(stepped, change_points(stepped))) {
        if (std::fabs(change.change_percent) < 2) continue;
        const double delay = std::fabs(static_cast<double>(change.index) - 50);
        if (change.change_percent < 0 && delay < best) {
          if (best < 1e9) extra += 1;
          best = delay;
        } else {
          extra += 1;
        }
      }
      if (best < 1e9) {
        found += 1;
        delay_sum += best;
        delay_max = std::max(delay_max, best);
      }
    }
  }
  state.counters["quiet_any_significant"] = any;
  state.counters["quiet_3pct_alarms"] = large;
  state.counters["steps_found"] = found;
  state.counters["mean_delay_runs"] = found > 0 ? delay_sum / found : 0;
  state.counters["max_delay_runs"] = delay_max;
  state.counters["extra_changes"] = extra;
}
BENCHMARK(BM_Simulation)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick
