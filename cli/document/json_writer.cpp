#include "document/json_writer.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "document/repetition_summary.hpp"
#include "stats/precision.hpp"
#include "util/json.hpp"

namespace tarnwick {
namespace {

nlohmann::ordered_json run_json(const RunReport& run) {
  const Result& result = run.result;
  nlohmann::ordered_json samples = nlohmann::ordered_json::array();
  for (std::size_t index = 0; index < result.samples.size(); ++index) {
    const Sample& sample = result.samples[index];
    nlohmann::ordered_json noise(nullptr);
    if (index < run.sample_noise.size() && run.sample_noise[index]) {
      noise = second_noise_json(*run.sample_noise[index]);
      noise["disturbed"] =
          std::binary_search(run.disturbed_samples.begin(), run.disturbed_samples.end(), index);
    }
    samples.push_back({{"time", sample.time.count()},
                       {"duration", sample.duration.count()},
                       {"operations", sample.operations},
                       {"rate", sample.rate},
                       {"noise", std::move(noise)}});
  }
  nlohmann::ordered_json window(nullptr);
  if (run.noise) {
    window = noise_json(*run.noise);
    window["disturbed_seconds"] = run.disturbed_samples.size();
  }
  return {
      {"id", run.id},
      {"label", run.label},
      {"repetition", run.repetition},
      {"started", run.started},
      {"ended", run.ended},
      {"status", static_cast<uint32_t>(result.status)},
      {"status_name", name(result.status)},
      {"reason", result.reason},
      {"abi_version", result.abi_version},
      {"benchmark", result.all_cpus ? TARNWICK_BENCHMARK_ALL_CPUS : TARNWICK_BENCHMARK_SINGLE},
      {"threads", result.threads},
      {"mean_rate", or_null(result.mean_rate)},
      {"warmup_seconds", result.warmup.count()},
      {"measure_seconds", result.measure.count()},
      {"measured_seconds", result.measured.count()},
      {"cv_percent", or_null(result.cv_percent)},
      {"has_cv", result.cv_percent.has_value()},
      {"unstable", result.unstable},
      {"operations", result.operations},
      {"checksum", result.checksum},
      {"checksum_hex", fmt::format("{:016x}", result.checksum)},
      {"sample_count", result.samples.size()},
      {"samples", std::move(samples)},
      {"noise", std::move(window)},
  };
}

nlohmann::ordered_json precision_json(const PrecisionReport& report) {
  nlohmann::ordered_json labels = nlohmann::ordered_json::array();
  for (const PrecisionOutcome& outcome : report.labels) {
    labels.push_back(
        {{"label", outcome.label},
         {"stopped", outcome.stopped},
         {"runs", outcome.runs},
         {"runs_needed", outcome.runs_needed},
         {"excluded", outcome.excluded},
         {"geometric_mean_rate", or_null(outcome.runs > 0, outcome.geometric_mean_rate)},
         {"low", or_null(outcome.low)},
         {"high", or_null(outcome.high)},
         {"half_width_percent", or_null(outcome.half_width_percent)}});
  }
  return {
      {"target_percent", report.target_percent},
      {"confidence", PRECISION_CONFIDENCE},
      {"rule", STEIN_LOG_RULE},
      {"first_stage_runs", FIRST_STAGE_RUNS},
      {"max_seconds", report.max_seconds},
      {"seconds", report.seconds},
      {"warmup", "first run of each label; the later runs start warm, without one"},
      {"labels", std::move(labels)},
  };
}

}  // namespace

nlohmann::ordered_json session_json(const Session& session) {
  nlohmann::ordered_json runs = nlohmann::ordered_json::array();
  for (const RunReport& run : session.runs) runs.push_back(run_json(run));
  nlohmann::ordered_json repetitions = nlohmann::ordered_json::array();
  for (const RepetitionSummary& summary : summarize_repetitions(session)) {
    repetitions.push_back({{"label", summary.label},
                           {"threads", summary.threads},
                           {"runs", summary.runs},
                           {"median_mean_rate", summary.median_mean_rate},
                           {"min_mean_rate", summary.min_mean_rate},
                           {"max_mean_rate", summary.max_mean_rate},
                           {"spread_percent", summary.spread_percent},
                           {"outliers", summary.outliers}});
  }
  nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
  for (const Warning& warning : session.warnings) {
    warnings.push_back({{"run", or_null(!warning.run_id.empty(), warning.run_id)},
                        {"kind", warning.kind},
                        {"text", warning.text}});
  }
  return {
      {"schema_version", 1},
      {"program", "tarnwick"},
      {"status", name(session_status(session))},
      {"library", {{"version", session.version}, {"abi_version", session.abi_version}}},
      {"environment", environment_json(session.environment)},
      {"host",
       {{"cpu_model", or_null(session.host.cpu_model)},
        {"cpus_available", session.host.cpus_available},
        {"cpus_source", session.host.cpus_source},
        {"governor", or_null(session.host.governor)},
        {"load_average_1m", or_null(session.host.load_average)}}},
      {"runs", std::move(runs)},
      {"repetitions", std::move(repetitions)},
      {"scaling", or_null(median_scaling(session))},
      {"scalings", pair_scalings(session)},
      {"warnings", std::move(warnings)},
      {"precision",
       session.precision ? precision_json(*session.precision) : nlohmann::ordered_json(nullptr)},
  };
}

}  // namespace tarnwick
