// The comparison engine: two sets of loaded runs in, one verdict per run
// label out. It knows nothing of files or the store, so `compare BASE NEW`
// and `compare --baseline NEW` (the history's last runs as BASE) judge by
// the same rules.
//
// For each label with completed runs on both sides the engine tests the
// ratio NEW/BASE with Welch's t-test on log rates. The observations are the
// runs' mean rates when both sides have at least MIN_RUNS completed runs of
// the label; otherwise the per-second rates of all its completed runs, and
// the verdict is marked low confidence: the seconds of one run are not
// independent of each other, so their interval is narrower than the truth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "document/reader.hpp"
#include "stats/welch.hpp"

namespace tarnwick {

// Completed runs each side needs before the runs' means are the observations.
inline constexpr std::size_t MIN_RUNS = 3;

// One side of a comparison: what the user named and what was loaded from it.
struct ComparisonSide {
  std::string source;  // shown as is: a path, "-", or e.g. "history (last 10 runs)"
  // Usually one document; the history gives one per stored run. Read with
  // samples, or low-confidence comparisons have nothing to work on.
  std::vector<LoadedDocument> documents;
};

// The facts a reader checks before trusting a ratio; each list holds the
// distinct known values, in the order met (empty: unknown, as for 0.0.2).
struct SideFacts {
  std::string source;
  std::size_t documents = 0;
  std::size_t completed_runs = 0;
  std::vector<std::string> hosts, cpu_models, architectures, library_versions;
};

enum class ObservationKind { run_means, per_second_rates };
enum class Verdict { faster, slower, no_difference };

struct LabelSide {
  double mean_rate = 0;                // mean of the completed runs' mean rates
  std::size_t runs = 0;                // completed runs of the label
  std::size_t observations = 0;        // values the test used
  std::vector<std::uint32_t> threads;  // distinct worker counts
};

struct LabelComparison {
  std::string label;
  LabelSide base, now;
  ObservationKind kind = ObservationKind::run_means;
  bool low_confidence = false;
  RatioTest test;
  Verdict verdict = Verdict::no_difference;
};

struct ComparisonWarning {
  std::string kind;  // library_version, workers, ignored_runs, one_side_only, too_few
  std::string text;
};

struct Comparison {
  SideFacts base, now;
  std::vector<LabelComparison> labels;  // in BASE's order of labels
  std::vector<ComparisonWarning> warnings;
};

// Compares NEW with BASE. Fails, with a reason to show after "tarnwick: ",
// when a side has no completed run or no label can be compared.
[[nodiscard]] std::variant<Comparison, std::string> compare_sides(const ComparisonSide& base,
                                                                  const ComparisonSide& now);

// The labels that trip a `--fail-slower PCT` gate: those whose ratio's
// interval lies wholly below 1 - PCT/100, low-confidence ones included.
[[nodiscard]] std::vector<const LabelComparison*> slower_than(const Comparison& comparison,
                                                              double percent);

// "faster", "slower", "no significant difference"
[[nodiscard]] const char* verdict_name(Verdict verdict);
// "runs" or "seconds"
[[nodiscard]] const char* observation_kind_name(ObservationKind kind);

}  // namespace tarnwick
