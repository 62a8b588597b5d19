// What a session's repeated runs say together: the spread of each label's
// mean rates, the runs far from the others, and the scaling of each pair.
// Every output (summary, JSON) reads these, so they agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "document/model.hpp"

namespace tarnwick {

// The spread of one label's completed runs.
struct RepetitionSummary {
  std::string label;
  uint32_t threads = 0;  // of the label's last completed run
  std::size_t runs = 0;  // completed runs counted
  double median_mean_rate = 0.0;
  double min_mean_rate = 0.0;
  double max_mean_rate = 0.0;
  double spread_percent = 0.0;     // (max - min) / median
  std::vector<unsigned> outliers;  // repetition indexes with robust z beyond OUTLIER_Z
};

// One entry per label that has a completed run, in the order the labels
// first ran.
[[nodiscard]] std::vector<RepetitionSummary> summarize_repetitions(const Session& session);

// A single run and the all-CPUs run of the same repetition: the one rule
// by which runs pair, in the summary, the document and the chart.
struct RunPair {
  const RunReport* single = nullptr;
  const RunReport* all_cpus = nullptr;
};
// Every pair, in the order of the single runs.
[[nodiscard]] std::vector<RunPair> repetition_pairs(const Session& session);

// The scaling figure of each (single, all-CPUs) pair of one round in which
// both completed, in round order.
[[nodiscard]] std::vector<double> pair_scalings(const Session& session);

// The median of pair_scalings, or nothing without a pair.
[[nodiscard]] std::optional<double> median_scaling(const Session& session);

}  // namespace tarnwick
