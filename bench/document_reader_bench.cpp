// Reading result documents: a fleet report reads thousands of them, each with
// its per-second samples, so the reader must go through them at disk speed
// and keep only what it is asked for. A full parse into a tree is measured
// beside it as the yardstick.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "document/reader.hpp"

namespace {

constexpr int DOCUMENTS = 10000;
constexpr int SAMPLES = 60;

// A document as the program writes it (indented by 2), one run of 60
// samples, the numbers varied so that no two documents are alike.
std::string make_document(int index) {
  using Json = nlohmann::ordered_json;
  Json samples = Json::array();
  double time = 0;
  for (int i = 0; i < SAMPLES; ++i) {
    const double duration = 1.0 + 1e-4 * ((index + i) % 7);
    const double rate = 93000.0 + 37.1 * ((index * 31 + i * 17) % 101);
    time += duration;
    samples.push_back({{"time", time},
                       {"duration", duration},
                       {"operations", static_cast<uint64_t>(rate * duration)},
                       {"rate", rate}});
  }
  Json run = {{"id", "5f0c2a9e7b1d4c3a9e8f7a6b5c4d3e2f"},
              {"label", "single"},
              {"repetition", 1},
              {"started", "2026-12-07T23:50:01.123Z"},
              {"ended", "2026-12-07T23:53:01.456Z"},
              {"status", 0},
              {"status_name", "completed"},
              {"reason", ""},
              {"abi_version", 1},
              {"benchmark", 1},
              {"threads", 1},
              {"mean_rate", 93974.2 + index},
              {"warmup_seconds", 120},
              {"measure_seconds", 60},
              {"measured_seconds", time},
              {"cv_percent", 2.36},
              {"has_cv", true},
              {"unstable", false},
              {"operations", 5638480 + index},
              {"checksum", 15527385062390863577ULL},
              {"checksum_hex", "d7d071cfd6ab16d9"},
              {"sample_count", SAMPLES},
              {"samples", samples},
              {"noise",
               {{"steal_percent", 0.4},
                {"other_cpus", 0.05},
                {"involuntary_context_switches", 12},
                {"in_container", false}}}};
  Json document = {
      {"schema_version", 1},
      {"program", "tarnwick"},
      {"status", "completed"},
      {"library", {{"version", "0.0.2"}, {"abi_version", 1}}},
      {"environment",
       {{"timestamp", "2026-12-07T23:50:01Z"},
        {"hostname", "node" + std::to_string(index)},
        {"os", "6.1.0-28-amd64"},
        {"command_line", {"tarnwick"}},
        {"program", {{"version", "0.0.2"}, {"compiler", "GCC 12.2.0"}, {"build_flags", "-O2"}}},
        {"cpu",
         {{"arch", "x86_64"},
          {"model", "Intel(R) Xeon(R) Processor"},
          {"logical_cpus", 2},
          {"physical_cores", 1},
          {"threads_per_core", 2},
          {"nominal_mhz", nullptr},
          {"l2_cache_bytes", 4194304},
          {"l3_cache_bytes", nullptr},
          {"hypervisor", "KVMKVMKVM"}}},
        {"cgroup_cpu_quota", nullptr}}},
      {"host",
       {{"cpu_model", "Intel(R) Xeon(R) Processor"},
        {"cpus_available", 2},
        {"cpus_source", "affinity"},
        {"governor", nullptr},
        {"load_average_1m", 0.3}}},
      {"runs", {run}},
      {"repetitions", Json::array()},
      {"scaling", nullptr},
      {"scalings", Json::array()},
      {"warnings", Json::array()}};
  return document.dump(2);
}

const std::vector<std::string>& fleet() {
  static const std::vector<std::string> documents = [] {
    std::vector<std::string> all;
    all.reserve(DOCUMENTS);
    for (int i = 0; i < DOCUMENTS; ++i) all.push_back(make_document(i));
    return all;
  }();
  return documents;
}

void set_counters(benchmark::State& state) {
  size_t bytes = 0;
  for (const std::string& text : fleet()) bytes += text.size();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["documents"] = DOCUMENTS;
}

void read_fleet(benchmark::State& state, tarnwick::ReadOptions options) {
  fleet();  // made before the clock starts
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& text : fleet()) {
      auto result = tarnwick::read_document(text, options);
      auto& document = std::get<tarnwick::LoadedDocument>(result);
      sum += *document.runs[0].mean_rate + static_cast<double>(document.runs[0].rates.size());
    }
    benchmark::DoNotOptimize(sum);
  }
  set_counters(state);
}

void BM_ReadFleet(benchmark::State& state) { read_fleet(state, {}); }
void BM_ReadFleetWithSamples(benchmark::State& state) { read_fleet(state, {.samples = true}); }

void BM_ParseFleetIntoTree(benchmark::State& state) {
  fleet();
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& text : fleet()) {
      const auto tree = nlohmann::json::parse(text);
      sum += tree["runs"][0]["mean_rate"].get<double>();
    }
    benchmark::DoNotOptimize(sum);
  }
  set_counters(state);
}

BENCHMARK(BM_ReadFleet)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadFleetWithSamples)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ParseFleetIntoTree)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
