// Figures of `history --changes`: the whole path (the store's query, the
// series, every series' change points on both CPUs) against a history of
// 100,000 completed runs in 1,000 series of 100, one in twenty with a 6 %
// step (built once in a temporary directory), and the method's false-alarm
// rate, detection delay and the spread of the sizes it lists on seeded
// simulations (reported as counters, for README).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "changes/changes.hpp"
#include "stats/change_points.hpp"
#include "stats/shifts.hpp"
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
  std::size_t runs = 0, in_stepped = 0, in_quiet = 0, episodes = 0;
  for (auto _ : state) {
    auto opened = History::open(path, Access::read);
    auto listed = std::get<History>(opened).completed_runs(std::nullopt, std::nullopt);
    auto series = series_of(std::get<std::vector<ListedRun>>(listed), std::nullopt);
    find_changes(series, {}, static_cast<unsigned>(state.range(0)));
    in_stepped = in_quiet = episodes = 0;
    const FoundChanges found = large_changes(series, 2);
    for (const FoundShift& shift : found.shifts) {
      const RunKey& key = shift.series->key;
      const bool stepped = key.threads == 2 && std::stoi(key.host.substr(4)) % 10 == 0;
      ++(stepped ? in_stepped : in_quiet);
    }
    episodes = found.episodes.size();
    runs = std::get<std::vector<ListedRun>>(listed).size();
  }
  state.counters["runs"] = static_cast<double>(runs);
  state.counters["changes_stepped_series"] = static_cast<double>(in_stepped);
  state.counters["changes_quiet_series"] = static_cast<double>(in_quiet);
  state.counters["episodes"] = static_cast<double>(episodes);
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

SeriesChanges read(const std::vector<double>& values) {
  return shifts_and_episodes(values, describe_changes(values, change_points(values)));
}

// 100 seeds of 80 runs at a 2 % spread: quiet, and with a 6 % drop at run
// 50. Counters: quiet seeds with any significant step, and with a shift or
// episode of 3 % or more (false alarms); drops found as a shift, and the
// distance of its steps from run 50; other shifts and episodes of 2 % or
// more in those series.
void BM_Simulation(benchmark::State& state) {
  double any = 0, large = 0, found = 0, delay_sum = 0, delay_max = 0, extra = 0;
  const auto big = [](double percent, double size) { return std::fabs(percent) >= size; };
  for (auto _ : state) {
    any = large = found = delay_sum = delay_max = extra = 0;
    for (unsigned seed = 1; seed <= 100; ++seed) {
      const auto quiet = simulated(seed, 80, 0);
      const auto changes = describe_changes(quiet, change_points(quiet));
      any += changes.empty() ? 0 : 1;
      const SeriesChanges quiet_read = shifts_and_episodes(quiet, changes);
      bool alarm = false;
      for (const Shift& shift : quiet_read.shifts) alarm |= big(shift.change_percent, 3);
      for (const Episode& episode : quiet_read.episodes) alarm |= big(episode.change_percent, 3);
      large += alarm ? 1 : 0;

      const SeriesChanges stepped = read(simulated(seed, 50, -0.06));
      double best = 1e9;
      for (const Shift& shift : stepped.shifts) {
        if (!big(shift.change_percent, 2)) continue;
        const double delay = std::max(std::fabs(static_cast<double>(shift.first) - 50),
                                      std::fabs(static_cast<double>(shift.last) - 50));
        if (shift.change_percent < 0 && delay < best) {
          if (best < 1e9) extra += 1;
          best = delay;
        } else {
          extra += 1;
        }
      }
      for (const Episode& episode : stepped.episodes) extra += big(episode.change_percent, 2);
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

// The size listed for a drop of range(0) tenths of a percent at run 50 of
// 80, at a spread of range(1) tenths of a percent, over 200 seeds: the
// shift nearest run 50 (found: those within 5 runs), the 5th, 50th and
// 95th percentiles of its size, and how often it is listed at the true size
// or more.
void BM_ListedSizes(benchmark::State& state) {
  const double drop = static_cast<double>(state.range(0)) / 1000;
  const double spread = static_cast<double>(state.range(1)) / 1000;
  std::vector<double> sizes;
  for (auto _ : state) {
    sizes.clear();
    for (unsigned seed = 1; seed <= 200; ++seed) {
      std::mt19937_64 generator(seed);
      std::normal_distribution<double> noise(0, spread);
      std::vector<double> values;
      for (std::size_t i = 0; i < 80; ++i) {
        values.push_back(1e9 * (i >= 50 ? 1 - drop : 1.0) * (1 + noise(generator)));
      }
      const auto found = read(values);
      for (const Shift& shift : found.shifts) {
        if (shift.first <= 55 && shift.last + 5 >= 50) {
          sizes.push_back(shift.change_percent);
          break;
        }
      }
    }
  }
  std::sort(sizes.begin(), sizes.end());
  const auto at = [&](double share) {
    return sizes.empty()
               ? 0.0
               : sizes[std::min(sizes.size() - 1, static_cast<std::size_t>(
                                                      share * static_cast<double>(sizes.size())))];
  };
  state.counters["found"] = static_cast<double>(sizes.size());
  state.counters["p05"] = at(0.05);
  state.counters["p50"] = at(0.5);
  state.counters["p95"] = at(0.95);
  state.counters["at_true_size_or_more"] = static_cast<double>(
      std::count_if(sizes.begin(), sizes.end(), [&](double size) { return size <= -100 * drop; }));
}
BENCHMARK(BM_ListedSizes)
    ->ArgsProduct({{30, 60, 100}, {10, 20}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// 50 seeds at 1 % spread of 40 flat runs, a 10 % drift over 100, 40 flat:
// how often it is one shift of -8 to -12 %, and the median listed total.
void BM_Drift(benchmark::State& state) {
  double one = 0;
  std::vector<double> totals;
  for (auto _ : state) {
    one = 0;
    totals.clear();
    for (unsigned seed = 1; seed <= 50; ++seed) {
      std::mt19937_64 generator(seed);
      std::normal_distribution<double> noise(0, 0.01);
      std::vector<double> values;
      for (std::size_t i = 0; i < 180; ++i) {
        const double level = i < 40    ? 1.0
                             : i < 140 ? 1 - 0.1 * static_cast<double>(i - 39) / 100
                                       : 0.9;
        values.push_back(1e9 * level * (1 + noise(generator)));
      }
      const auto found = read(values);
      double total = 0;
      int listed = 0;
      for (const Shift& shift : found.shifts) {
        if (std::fabs(shift.change_percent) < 2) continue;
        ++listed;
        total = shift.change_percent;
      }
      if (listed == 1 && total <= -8 && total >= -12) one += 1;
      totals.push_back(listed == 1 ? total : 0);
    }
  }
  std::sort(totals.begin(), totals.end());
  state.counters["one_shift_8_to_12"] = one;
  state.counters["median_total"] = totals[totals.size() / 2];
}
BENCHMARK(BM_Drift)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick
