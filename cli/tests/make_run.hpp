// Builds run reports by hand, so expected figures can be checked on paper.
#pragma once

#include <fmt/format.h>

#include <cmath>
#include <string>
#include <vector>

#include "document/model.hpp"

namespace tarnwick {

// One-second samples at the given rates; the result record is filled as the
// library would fill it for a completed run (mean = operations / window,
// duration-weighted CV).
inline RunReport completed_run(const std::vector<double>& rates, uint32_t threads = 1,
                               const std::string& label = "single") {
  static unsigned made = 0;
  RunReport run;
  run.id = fmt::format("{:032x}", ++made);
  run.label = label;
  run.started = "2026-12-07T23:50:01.123Z";
  run.ended = "2026-12-07T23:50:03.456Z";
  tarnwick_result_t& result = run.result;
  result.abi_version = 1;
  result.status = TARNWICK_STATUS_COMPLETED;
  result.benchmark = threads == 1 ? TARNWICK_BENCHMARK_SINGLE : TARNWICK_BENCHMARK_ALL_CPUS;
  result.threads = threads;
  result.warmup_seconds = 0.05;
  result.measure_seconds = static_cast<double>(rates.size());
  for (std::size_t i = 0; i < rates.size(); ++i) {
    const auto operations = static_cast<uint64_t>(rates[i]);
    run.samples.push_back({static_cast<double>(i + 1), 1.0, operations, rates[i]});
    result.operations += operations;
  }
  result.measured_seconds = static_cast<double>(rates.size());
  result.sample_count = rates.size();
  result.mean_rate = static_cast<double>(result.operations) / result.measured_seconds;
  if (rates.size() >= 2) {
    double variance = 0.0;
    for (const double rate : rates)
      variance += (rate - result.mean_rate) * (rate - result.mean_rate);
    result.cv_percent = std::sqrt(variance / result.measured_seconds) / result.mean_rate * 100.0;
    result.has_cv = 1;
    result.unstable = result.cv_percent > 10.0 ? 1 : 0;
  }
  result.checksum = 0x0123456789abcdefULL;
  return run;
}

inline RunReport cancelled_run(const std::vector<double>& rates) {
  RunReport run = completed_run(rates);
  run.result.status = TARNWICK_STATUS_CANCELLED;
  run.result.mean_rate = 0.0;
  run.result.cv_percent = 0.0;
  run.result.has_cv = 0;
  run.result.unstable = 0;
  run.reason = "cancelled";
  return run;
}

inline Session session_of(std::vector<RunReport> runs) {
  Session session;
  session.version = "0.0.2";
  session.abi_version = 1;
  session.host.cpu_model = "Example CPU";
  session.host.cpus_available = 2;
  session.host.load_average = 0.25;
  session.runs = std::move(runs);
  return session;
}

}  // namespace tarnwick
