// Figures of the run history on a large store: the listing that
// `tarnwick history` prints and the save that `--save` adds to a run, both
// against a history of 100,000 runs of 60 samples each (built once, in a
// temporary directory, before the first case; or kept at the path in
// TARNWICK_BENCH_HISTORY, to time the program itself against it).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "store/history.hpp"
#include "store/listing.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr int STORED_RUNS = 100000;
constexpr int RUNS_PER_DOCUMENT = 10;
constexpr int SAMPLES = 60;

// A document shaped like the program's: `runs` runs of 60 samples, one of
// four hosts, both labels.
LoadedDocument make_document(int serial, int runs) {
  const std::string host = fmt::format("node{:02}", serial % 4);
  LoadedDocument entry;
  entry.schema_version = 1;
  entry.library_version = "0.0.2";
  entry.hostname = host;
  entry.cpu_model = "Intel(R) Xeon(R) Processor";
  entry.arch = "x86_64";
  const int day = serial / 1000;
  entry.timestamp = fmt::format("2026-{:02}-{:02}T{:02}:{:02}:00Z", 1 + day / 28 % 12, 1 + day % 28,
                                serial / 60 % 24, serial % 60);
  entry.json = Json{{"schema_version", 1},
                    {"program", "tarnwick"},
                    {"status", "completed"},
                    {"library", {{"version", "0.0.2"}, {"abi_version", 1}}},
                    {"environment", {{"timestamp", *entry.timestamp}, {"hostname", host}}},
                    {"runs", Json::array()},
                    {"warnings", Json::array()}}
                   .dump();
  for (int index = 0; index < runs; ++index) {
    LoadedRun run;
    run.id = fmt::format("{:016x}{:016x}", serial, index);
    run.label = index % 2 == 0 ? "single" : "all-cpus";
    run.repetition = static_cast<unsigned>(index / 2 + 1);
    run.status = 0;
    run.threads = index % 2 == 0 ? 1 : 2;
    run.mean_rate = 90000.0 + (serial * 7 + index) % 5000;
    run.cv_percent = 2.0 + index % 5;
    run.started = fmt::format("{}.{:03}Z", entry.timestamp->substr(0, 19), index);
    Json samples = Json::array();
    for (int second = 1; second <= SAMPLES; ++second) {
      samples.push_back({{"time", double(second)},
                         {"duration", 1.0},
                         {"operations", 94000 + second},
                         {"rate", 94000.0 + second}});
    }
    run.json = Json{{"id", run.id},
                    {"label", run.label},
                    {"repetition", run.repetition},
                    {"started", *run.started},
                    {"status", 0},
                    {"threads", run.threads},
                    {"mean_rate", *run.mean_rate},
                    {"samples", samples}}
                   .dump();
    entry.runs.push_back(std::move(run));
  }
  return entry;
}

History open_history(const std::string& path, Access access) {
  auto opened = History::open(path, access);
  if (auto* failure = std::get_if<std::string>(&opened)) {
    fmt::print(stderr, "{}\n", *failure);
    std::exit(2);
  }
  return std::get<History>(std::move(opened));
}

void build_history(const std::string& file);

// The large history, built on first use and removed at exit.
const std::string& large_history() {
  static const std::string path = [] {
    if (const char* kept = std::getenv("TARNWICK_BENCH_HISTORY")) {
      if (!fs::exists(kept)) build_history(kept);
      return std::string(kept);
    }
    std::string pattern = (fs::temp_directory_path() / "tarnwick-bench-XXXXXX").string();
    const std::string directory = mkdtemp(pattern.data());
    static const std::string remove_at_exit = directory;
    std::atexit([] { fs::remove_all(remove_at_exit); });
    const std::string file = directory + "/history.db";
    build_history(file);
    return file;
  }();
  return path;
}

void build_history(const std::string& file) {
  History history = open_history(file, Access::write);
  const auto begun = std::chrono::steady_clock::now();
  for (int serial = 0; serial < STORED_RUNS / RUNS_PER_DOCUMENT;) {
    std::vector<LoadedDocument> batch;
    for (int count = 0; count < 500; ++count) {
      batch.push_back(make_document(serial++, RUNS_PER_DOCUMENT));
    }
    if (std::holds_alternative<WriteFailure>(history.save(batch))) std::exit(2);
  }
  fmt::print(stderr, "built a history of {} runs in {:.1f} s ({} MB)\n", STORED_RUNS,
             std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(),
             fs::file_size(file) >> 20);
}

// What `tarnwick history` does: open, list the latest 20 runs with their
// series, format.
void BM_HistoryListing(benchmark::State& state) {
  const std::string& path = large_history();
  HistoryFilter filter;
  if (state.range(0) != 0) filter = {"node02", "all-cpus", 20};
  for (auto _ : state) {
    History history = open_history(path, Access::read);
    auto listing = history.list(filter);
    benchmark::DoNotOptimize(listing_text(path, std::get<HistoryListing>(listing), true));
  }
}
BENCHMARK(BM_HistoryListing)->Arg(0)->Arg(1)->ArgName("filtered")->Unit(benchmark::kMillisecond);

// What `--save` adds to a run: open the history, store one document of two
// runs of 60 samples, close (the WAL is checkpointed then, as at exit).
void BM_SaveOneDocument(benchmark::State& state) {
  const std::string& path = large_history();
  int serial = 1000000;
  for (auto _ : state) {
    state.PauseTiming();
    const LoadedDocument document = make_document(serial++, 2);
    state.ResumeTiming();
    History history = open_history(path, Access::write);
    if (std::holds_alternative<WriteFailure>(history.save({document}))) std::exit(2);
  }
}
BENCHMARK(BM_SaveOneDocument)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick
