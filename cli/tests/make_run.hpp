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
  Result& result = run.result;
  result.abi_version = 1;
  result.status = Status::completed;
  result.all_cpus = threads != 1;
  result.threads = threads;
  result.warmup = Seconds(0.05);
  result.measure = Seconds(static_cast<double>(rates.size()));
  for (std::size_t i = 0; i < rates.size(); ++i) {
    const auto operations = static_cast<uint64_t>(rates[i]);
    result.samples.push_back(
        {Seconds(static_cast<double>(i + 1)), Seconds(1.0), operations, rates[i]});
    result.operations += operations;
  }
  result.measured = result.measure;
  const double mean = static_cast<double>(result.operations) / result.measured.count();
  result.mean_rate = mean;
  if (rates.size() >= 2) {
    double variance = 0.0;
    for (const double rate : rates) variance += (rate - mean) * (rate - mean);
    result.cv_percent = std::sqrt(variance / result.measured.count()) / mean * 100.0;
    result.unstable = *result.cv_percent > 10.0;
  }
  result.checksum = 0x0123456789abcdefULL;
  return run;
}

inline RunReport cancelled_run(const std::vector<double>& rates) {
  RunReport run = completed_run(rates);
  run.result.status = Status::cancelled;
  run.result.mean_rate.reset();
  run.result.cv_percent.reset();
  run.result.unstable = false;
  run.result.reason = "cancelled";
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
