// The comparison engine: two sets of loaded runs in, one verdict per run
// label out. It knows nothing of files or the store, so `compare BASE NEW`
// and `compare --baseline NEW` (the history's last runs as BASE) judge by
// the same rules.
//
// Verdicts come from run-level evidence only: each completed run's mean
// rate is one observation. The seconds of one run share its warm-up, its
// neighbours and its clock, so they say nothing of how runs differ; they
// stay each run's CV and are never a test's observations.
//  - both sides MIN_RUNS or more runs of the label: Welch's t-test on log
//    mean rates;
//  - one side MIN_RUNS or more, the other 1 or 2 (the baseline case): the
//    small side's mean log rate against the larger side's run-to-run spread
//    (a prediction interval);
//  - both sides fewer than MIN_RUNS: not judged, and no gate trips on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document/reader.hpp"
#include "stats/welch.hpp"

namespace tarnwick {

// Completed runs of a label a side needs to judge the other by its spread.
inline constexpr std::size_t MIN_RUNS = 3;

// One side of a comparison: what the user named and what was loaded from it.
struct ComparisonSide {
  std::string source;  // shown as is: a path, "-", or e.g. "history (last 10 runs)"
  // Usually one document; the history gives one per stored run.
  std::vector<LoadedDocument> documents;
};

// The facts a reader checks before trusting a ratio; each list holds the
// distinct known values, in the order met (empty: unknown, as for 0.0.2).
struct SideFacts {
  std::string source;
  std::size_t documents = 0;
  std::size_t completed_runs = 0;
  std::vector<std::string> hosts, cpu_models, architectures, library_versions;
  // Of the completed runs: the median of their CVs (none known: nothing),
  // and how many were flagged unstable.
  std::optional<double> median_cv_percent;
  std::size_t unstable_runs = 0;
};

enum class TestKind { welch, prediction, none };
enum class Verdict { faster, slower, no_difference, not_judged };

struct LabelSide {
  double mean_rate = 0;                // mean of the completed runs' mean rates
  std::size_t runs = 0;                // completed runs of the label
  std::size_t observations = 0;        // runs' mean rates the test used (0: not judged)
  std::vector<std::uint32_t> threads;  // distinct worker counts
};

struct LabelComparison {
  std::string label;
  LabelSide base, now;
  TestKind kind = TestKind::none;
  // Only `ratio` means anything when not judged (kind none).
  RatioTest test;
  Verdict verdict = Verdict::not_judged;
};

struct ComparisonWarning {
  // library_version, workers, ignored_runs, one_side_only, not_judged, unstable
  std::string kind;
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

// The labels that trip a `--fail-slower PCT` gate: judged ones whose
// ratio's interval lies wholly below 1 - PCT/100.
[[nodiscard]] std::vector<const LabelComparison*> slower_than(const Comparison& comparison,
                                                              double percent);

// How many labels found on both sides could not be judged.
[[nodiscard]] std::size_t not_judged(const Comparison& comparison);

// "faster", "slower", "no significant difference", "not judged"
[[nodiscard]] const char* verdict_name(Verdict verdict);
// The test's name as the text and the JSON give it; empty for none.
[[nodiscard]] std::string_view test_name(TestKind kind);
// "not judged: 1 and 2 runs; repeat with --repeat 3"
[[nodiscard]] std::string not_judged_reason(const LabelComparison& label);

}  // namespace tarnwick
