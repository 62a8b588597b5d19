// tarnwick report over a fleet's folder: 10,000 documents of 60 samples
// (about 115 MB of JSON), as a user runs it (process start included), with
// the report's peak memory. The same count with ten times the samples shows
// that memory follows the number of runs, not the samples: they are
// streamed past, never kept.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace {

// Writes `count` documents of `samples` samples into a folder named after
// both, once; 5,000 hosts of two CPU models, two nights each.
std::string fleet_folder(int count, int samples) {
  const std::string folder =
      "/tmp/tarnwick_report_bench_" + std::to_string(count) + "_" + std::to_string(samples);
  const std::string done = folder + "/.complete";
  if (std::filesystem::exists(done)) return folder;
  std::filesystem::create_directories(folder);
  for (int index = 0; index < count; ++index) {
    const int host = index % 5000;
    const double rate = 95000.0 * (1.0 + 0.0001 * ((index * 7919) % 201 - 100));
    std::string text;
    text.reserve(static_cast<std::size_t>(samples) * 110 + 2000);
    char buffer[512];
    std::snprintf(buffer, sizeof buffer,
                  "{\n  \"schema_version\": 1,\n  \"program\": \"tarnwick\",\n  \"status\": "
                  "\"completed\",\n  \"library\": {\"version\": \"0.0.2\", \"abi_version\": 1},\n"
                  "  \"environment\": {\"timestamp\": \"2026-12-0%dT02:00:00Z\", \"hostname\": "
                  "\"node%05d\", \"cpu\": {\"arch\": \"x86_64\", \"model\": \"Model %c\"}},\n"
                  "  \"runs\": [{\"id\": \"%032x\", \"label\": \"all-cpus\", \"repetition\": 1,\n",
                  1 + index / 5000, host, "AB"[host % 2], index);
    text += buffer;
    std::snprintf(buffer, sizeof buffer,
                  "    \"started\": \"2026-12-0%dT02:00:00.000Z\", \"status\": 0, \"reason\": "
                  "\"\", \"threads\": 2, \"mean_rate\": %.17g, \"measured_seconds\": %d.0,\n"
                  "    \"cv_percent\": 0.8, \"has_cv\": true, \"unstable\": false, \"operations\": "
                  "%lld, \"checksum\": 15527385062390863577, \"samples\": [\n",
                  1 + index / 5000, rate, samples, static_cast<long long>(rate * samples));
    text += buffer;
    for (int i = 0; i < samples; ++i) {
      const double sample = rate * (1.0 + 0.001 * ((i * 17 + index) % 21 - 10));
      std::snprintf(buffer, sizeof buffer,
                    "      {\"time\": %d.0, \"duration\": 1.0000213, \"operations\": %lld, "
                    "\"rate\": %.17g}%s\n",
                    i + 1, static_cast<long long>(sample), sample, i + 1 < samples ? "," : "");
      text += buffer;
    }
    text += "    ]}]\n}\n";
    std::snprintf(buffer, sizeof buffer, "%s/node%05d-%d.json", folder.c_str(), host, index);
    std::ofstream(buffer) << text;
  }
  std::ofstream(done) << "";
  return folder;
}

void BM_ReportCommand(benchmark::State& state) {
  const std::string folder =
      fleet_folder(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  std::string binary = TARNWICK_BINARY;
  std::string command = "report";
  std::string json = "--json";
  char* argv[] = {binary.data(), command.data(), json.data(), const_cast<char*>(folder.c_str()),
                  nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  long peak_kb = 0;
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start the program");
      break;
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the report failed");
      break;
    }
    peak_kb = std::max(peak_kb, usage.ru_maxrss);
  }
  posix_spawn_file_actions_destroy(&actions);
  state.counters["documents"] = static_cast<double>(state.range(0));
  state.counters["peak_rss_MiB"] = static_cast<double>(peak_kb) / 1024.0;
}
BENCHMARK(BM_ReportCommand)
    ->Args({10000, 60})
    ->Args({1000, 60})
    ->Args({1000, 600})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
