// compare of two documents of 10 runs each (--both --repeat 5, 60 samples a
// run): what a CI gate pays per call. Measured in process (read, compare,
// render) and as the program a user runs, process start and library load
// included.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "compare/comparison.hpp"
#include "compare/render.hpp"
#include "document/reader.hpp"

extern char** environ;

namespace {

using Json = nlohmann::ordered_json;

constexpr int PAIRS = 5;
constexpr int SAMPLES = 60;

Json make_run(int index, bool single, double mean) {
  Json samples = Json::array();
  for (int i = 0; i < SAMPLES; ++i) {
    const double rate = mean * (1 + 0.001 * ((index * 31 + i * 17) % 41 - 20));
    samples.push_back({{"time", i + 1.0},
                       {"duration", 1.0},
                       {"operations", static_cast<uint64_t>(rate)},
                       {"rate", rate}});
  }
  char id[33];
  std::snprintf(id, sizeof id, "%032x", index);
  return {{"id", id},
          {"label", single ? "single" : "all-cpus"},
          {"repetition", index / 2 + 1},
          {"started", "2026-12-07T23:50:01.123Z"},
          {"ended", "2026-12-07T23:51:01.123Z"},
          {"status", 0},
          {"status_name", "completed"},
          {"reason", ""},
          {"abi_version", 1},
          {"benchmark", single ? 1 : 2},
          {"threads", single ? 1 : 2},
          {"mean_rate", mean},
          {"warmup_seconds", 1},
          {"measure_seconds", 60},
          {"measured_seconds", 60.0},
          {"cv_percent", 1.2},
          {"has_cv", true},
          {"unstable", false},
          {"operations", static_cast<uint64_t>(mean * 60)},
          {"checksum", 12345},
          {"checksum_hex", "0000000000003039"},
          {"sample_count", SAMPLES},
          {"samples", samples},
          {"noise", nullptr}};
}

// Writes a document of PAIRS single and PAIRS all-CPUs runs; returns its path.
std::string write_document(const char* name, double scale) {
  Json runs = Json::array();
  for (int i = 0; i < 2 * PAIRS; ++i) {
    const bool single = i % 2 == 0;
    runs.push_back(make_run(i, single, scale * (single ? 50000 : 95000) * (1 + 0.003 * i)));
  }
  const Json document = {{"schema_version", 1},
                         {"program", "tarnwick"},
                         {"status", "completed"},
                         {"library", {{"version", "0.0.2"}, {"abi_version", 1}}},
                         {"runs", runs}};
  const std::string path = std::string("/tmp/tarnwick_compare_bench_") + name + ".json";
  std::ofstream(path) << document.dump(2);
  return path;
}

const std::string& base_path() {
  static const std::string path = write_document("base", 1.0);
  return path;
}
const std::string& new_path() {
  static const std::string path = write_document("new", 0.97);
  return path;
}

void BM_CompareInProcess(benchmark::State& state) {
  for (auto _ : state) {
    tarnwick::ComparisonSide sides[2];
    const std::string* paths[2] = {&base_path(), &new_path()};
    for (int i = 0; i < 2; ++i) {
      auto loaded = tarnwick::read_document_file(*paths[i], {.samples = true});
      sides[i].source = *paths[i];
      sides[i].documents.push_back(std::get<tarnwick::LoadedDocument>(std::move(loaded)));
    }
    const auto outcome = tarnwick::compare_sides(sides[0], sides[1]);
    benchmark::DoNotOptimize(tarnwick::comparison_text(std::get<tarnwick::Comparison>(outcome)));
  }
}

// The program as a CI job calls it, standard output to /dev/null.
void BM_CompareCommand(benchmark::State& state) {
  const std::string base = base_path();
  const std::string now = new_path();
  std::string binary = TARNWICK_BINARY;
  std::string command = "compare";
  char* argv[] = {binary.data(), command.data(), const_cast<char*>(base.c_str()),
                  const_cast<char*>(now.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the program did not compare the documents");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

BENCHMARK(BM_CompareInProcess)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompareCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
