// The comparison engine: two sets of loaded runs in, one verdict per run
// label out. It knows nothing of files or the store, so `compare BASE NEW`
// and `compare --baseline NEW` (the history's last runs as BASE) judge by
// the same rules.
//
// What is judged: like with like, each run once, undisturbed.
//  - A label is judged only when both sides measured the same thing
//    (document/comparability: workers, library version, architecture, CPU
//    model). Otherwise the ratio is shown as information and the label is
//    not judged, unless the user accepts the differences by name (`across`);
//    a library version is never accepted.
//  - A run counts once: a run id on both sides belongs to BASE; rates equal
//    within a side are copies, counted once (no spread is no evidence).
//  - A run whose noise record shows competition (stats/disturbance) or whose
//    rate cannot be judged is left out and named.
//
// Verdicts come from run-level evidence only: each remaining run's mean
// rate is one observation. The seconds of one run share its warm-up, its
// neighbours and its clock, so they say nothing of how runs differ.
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

#include "document/comparability.hpp"
#include "document/reader.hpp"
#include "stats/welch.hpp"

namespace tarnwick {

// Remaining runs of a label a side needs to judge the other by its spread.
inline constexpr std::size_t MIN_RUNS = 3;

// Runs left out of a verdict, of one kind, side and label, named.
struct LeftOut {
  std::string side;   // "BASE" or "NEW"
  std::string label;  // "" when it concerns runs of every label
  // not_completed, on_both_sides, rate, disturbed, identical_rates, and the
  // baseline's: workers, library, arch, cpu (another value of that fact)
  std::string kind;
  std::size_t count = 0;
  std::vector<std::string> run_ids;  // of runs named one by one
  std::string text;                  // the sentence shown, document text escaped
};

// One side of a comparison: what the user named and what was loaded from it.
struct ComparisonSide {
  std::string source;  // shown as is: a path, "-", or e.g. "history (last 10 runs)"
  // Usually one document; the history gives one per stored run.
  std::vector<LoadedDocument> documents;
  // What whoever chose the runs left out already (the baseline's choice).
  std::vector<LeftOut> left_out;
};

// How a comparison is to be judged.
struct CompareRules {
  Differences across = 0;       // differences accepted by name (never the library)
  bool keep_disturbed = false;  // judge disturbed runs too
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
// Why a label was not judged.
enum class NotJudged { judged, too_few, differs, library, same_runs };

struct LabelSide {
  double mean_rate = 0;                // mean of the remaining runs' mean rates
  std::size_t runs = 0;                // completed runs of the label the side held
  std::size_t observations = 0;        // remaining runs: the test's observations
  std::vector<std::uint32_t> threads;  // distinct worker counts
  std::vector<std::string> cpu_models, architectures, library_versions;  // as documents say
};

struct LabelComparison {
  std::string label;
  LabelSide base, now;
  // The test made of the remaining runs: the verdict's when judged, else
  // information only (kind none: `test.ratio` alone, or nothing at all).
  TestKind kind = TestKind::none;
  RatioTest test;
  bool has_ratio = false;
  Verdict verdict = Verdict::not_judged;
  NotJudged why = NotJudged::judged;
  std::string reason;           // why not judged, plainly; empty when judged
  Differences differences = 0;  // between the sides, the host aside
  Differences accepted = 0;
  std::string differs;  // what differs, plainly ("NEW ran 1 worker, BASE 2: ...")
};

struct ComparisonWarning {
  // differs, across, not_judged, unstable, one_side_only, container, and
  // the left-out kinds
  std::string kind;
  std::string text;
};

struct Comparison {
  SideFacts base, now;
  std::vector<LabelComparison> labels;  // in BASE's order of labels
  std::vector<LeftOut> left_out;        // every run left out of a verdict, by kind
  std::vector<ComparisonWarning> warnings;
};

// Compares NEW with BASE. Fails, with a reason to show after "tarnwick: ",
// when a side has no completed run or no label is on both sides.
[[nodiscard]] std::variant<Comparison, std::string> compare_sides(const ComparisonSide& base,
                                                                  const ComparisonSide& now,
                                                                  const CompareRules& rules = {});

// The labels that trip a `--fail-slower PCT` gate: judged ones whose
// ratio's interval lies wholly below 1 - PCT/100.
[[nodiscard]] std::vector<const LabelComparison*> slower_than(const Comparison& comparison,
                                                              double percent);

// How many labels found on both sides could not be judged.
[[nodiscard]] std::size_t not_judged(const Comparison& comparison);

// "faster", "slower", "no significant difference", "not judged"
[[nodiscard]] const char* verdict_name(Verdict verdict);
// "too_few", "differs", "library", "same_runs"; empty when judged.
[[nodiscard]] std::string_view not_judged_name(NotJudged why);
// The test's name as the text and the JSON give it; empty for none.
[[nodiscard]] std::string_view test_name(TestKind kind);

// "runs 2 and 3", "run 4", "runs 1, 2 and 5": how runs are named by number.
[[nodiscard]] std::string run_numbers(const std::vector<std::size_t>& numbers);

}  // namespace tarnwick
