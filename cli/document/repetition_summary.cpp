#include "document/repetition_summary.hpp"

#include <algorithm>
#include <unordered_map>

#include "document/label.hpp"
#include "stats/robust.hpp"
#include "tarnwick.h"

namespace tarnwick {

std::vector<RepetitionSummary> summarize_repetitions(const Session& session) {
  std::vector<RepetitionSummary> summaries;
  for (const RunReport& first : session.runs) {
    if (std::any_of(summaries.begin(), summaries.end(),
                    [&first](const RepetitionSummary& s) { return s.label == first.label; })) {
      continue;
    }
    RepetitionSummary summary;
    summary.label = first.label;
    std::vector<double> rates;
    std::vector<unsigned> repetitions;
    for (const RunReport& run : session.runs) {
      if (run.label != first.label || !run.result.mean_rate) continue;
      rates.push_back(*run.result.mean_rate);
      repetitions.push_back(run.repetition);
      summary.threads = run.result.threads;
    }
    if (rates.empty()) continue;
    summary.runs = rates.size();
    summary.median_mean_rate = median(rates);
    const auto [low, high] = std::minmax_element(rates.begin(), rates.end());
    summary.min_mean_rate = *low;
    summary.max_mean_rate = *high;
    if (summary.median_mean_rate > 0.0) {
      summary.spread_percent = (*high - *low) / summary.median_mean_rate * 100.0;
    }
    for (const std::size_t index : outliers(rates)) summary.outliers.push_back(repetitions[index]);
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

std::vector<RunPair> repetition_pairs(const Session& session) {
  // The all-CPUs run of each repetition, found once: 10,000 pairs stay linear.
  std::unordered_map<unsigned, const RunReport*> multi;
  for (const RunReport& run : session.runs) {
    if (run.label == name(Label::all_cpus)) multi.try_emplace(run.repetition, &run);
  }
  std::vector<RunPair> pairs;
  for (const RunReport& single : session.runs) {
    if (single.label != name(Label::single)) continue;
    const auto found = multi.find(single.repetition);
    if (found != multi.end()) pairs.push_back({&single, found->second});
  }
  return pairs;
}

std::vector<double> pair_scalings(const Session& session) {
  std::vector<double> figures;
  for (const RunPair& pair : repetition_pairs(session)) {
    if (const auto figure = scaling(*pair.single, *pair.all_cpus)) figures.push_back(*figure);
  }
  return figures;
}

std::optional<double> median_scaling(const Session& session) {
  const std::vector<double> figures = pair_scalings(session);
  if (figures.empty()) return std::nullopt;
  return median(figures);
}

}  // namespace tarnwick
