#include "compare/comparison.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "stats/robust.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

template <typename T>
void add_distinct(std::vector<T>& values, const T& value) {
  if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
}

bool completed(const LoadedRun& run) {
  return run.status == Status::completed && run.mean_rate.has_value();
}

// The completed runs of each label, labels in the order first met.
struct Grouped {
  std::vector<std::string> labels;
  std::map<std::string, std::vector<const LoadedRun*>> runs;
  std::size_t ignored = 0;
};

Grouped group_runs(const ComparisonSide& side) {
  Grouped grouped;
  for (const LoadedDocument& document : side.documents) {
    for (const LoadedRun& run : document.runs) {
      if (!completed(run)) {
        ++grouped.ignored;
        continue;
      }
      add_distinct(grouped.labels, run.label);
      grouped.runs[run.label].push_back(&run);
    }
  }
  return grouped;
}

SideFacts side_facts(const ComparisonSide& side, const Grouped& grouped) {
  SideFacts facts;
  facts.source = side.source;
  facts.documents = side.documents.size();
  std::vector<double> cvs;
  for (const auto& [label, runs] : grouped.runs) {
    facts.completed_runs += runs.size();
    for (const LoadedRun* run : runs) {
      if (run->cv_percent) cvs.push_back(*run->cv_percent);
      if (run->unstable) ++facts.unstable_runs;
    }
  }
  if (!cvs.empty()) facts.median_cv_percent = median(std::move(cvs));
  for (const LoadedDocument& document : side.documents) {
    if (document.hostname) add_distinct(facts.hosts, *document.hostname);
    if (document.cpu_model) add_distinct(facts.cpu_models, *document.cpu_model);
    if (document.arch) add_distinct(facts.architectures, *document.arch);
    if (!document.library_version.empty())
      add_distinct(facts.library_versions, document.library_version);
  }
  return facts;
}

LabelSide label_side(const std::vector<const LoadedRun*>& runs) {
  LabelSide side;
  side.runs = runs.size();
  // A running mean: a sum of rates near the largest double would overflow.
  double count = 0;
  for (const LoadedRun* run : runs) {
    side.mean_rate += (*run->mean_rate - side.mean_rate) / ++count;
    add_distinct(side.threads, run->threads);
  }
  return side;
}

std::vector<double> run_means(const std::vector<const LoadedRun*>& runs) {
  std::vector<double> values;
  for (const LoadedRun* run : runs) values.push_back(*run->mean_rate);
  return values;
}

std::string join(const std::vector<std::string>& values) {
  return values.empty() ? std::string("unknown") : fmt::format("{}", fmt::join(values, ", "));
}

std::string workers(const std::vector<std::uint32_t>& threads) {
  return fmt::format("{}", fmt::join(threads, "/"));
}

// Nothing when a test could not be made of the runs' figures.
std::optional<LabelComparison> compare_label(const std::string& label,
                                             const std::vector<const LoadedRun*>& base,
                                             const std::vector<const LoadedRun*>& now) {
  LabelComparison result;
  result.label = label;
  result.base = label_side(base);
  result.now = label_side(now);
  const std::vector<double> base_values = run_means(base);
  const std::vector<double> new_values = run_means(now);
  std::optional<RatioTest> test;
  if (base.size() >= MIN_RUNS && now.size() >= MIN_RUNS) {
    result.kind = TestKind::welch;
    test = welch_log_ratio(base_values, new_values);
  } else if (base.size() >= MIN_RUNS || now.size() >= MIN_RUNS) {
    result.kind = TestKind::prediction;
    test = prediction_log_ratio(base_values, new_values);
  } else {
    const auto ratio = geometric_ratio(base_values, new_values);
    if (!ratio) return std::nullopt;
    result.test.ratio = *ratio;
    result.verdict = Verdict::not_judged;
    return result;
  }
  if (!test) return std::nullopt;
  result.test = *test;
  result.base.observations = base_values.size();
  result.now.observations = new_values.size();
  result.verdict = Verdict::no_difference;
  if (test->low > 1) {
    result.verdict = Verdict::faster;
  } else if (test->high < 1) {
    result.verdict = Verdict::slower;
  }
  return result;
}

}  // namespace

std::variant<Comparison, std::string> compare_sides(const ComparisonSide& base,
                                                    const ComparisonSide& now) {
  const Grouped base_runs = group_runs(base);
  const Grouped new_runs = group_runs(now);
  for (const auto& [name, side, grouped] :
       {std::tuple{"BASE", &base, &base_runs}, std::tuple{"NEW", &now, &new_runs}}) {
    if (grouped->labels.empty()) {
      return grouped->ignored == 0
                 ? fmt::format("{} ({}) has no runs", name, side->source)
                 : fmt::format("{} ({}) has no completed run: its {} failed or {} cancelled", name,
                               side->source, plural(grouped->ignored, "run"),
                               agree(grouped->ignored, "was", "were"));
    }
  }

  Comparison comparison;
  comparison.base = side_facts(base, base_runs);
  comparison.now = side_facts(now, new_runs);
  auto warn = [&comparison](std::string kind, std::string text) {
    comparison.warnings.push_back({std::move(kind), std::move(text)});
  };

  std::vector<std::string> common;
  for (const std::string& label : base_runs.labels) {
    if (new_runs.runs.count(label) != 0) {
      common.push_back(label);
    } else {
      warn("one_side_only", fmt::format("'{}' runs are only in BASE: not compared", label));
    }
  }
  for (const std::string& label : new_runs.labels) {
    if (base_runs.runs.count(label) == 0)
      warn("one_side_only", fmt::format("'{}' runs are only in NEW: not compared", label));
  }
  if (common.empty()) {
    return fmt::format("no run label in both BASE ({}) and NEW ({})", join(base_runs.labels),
                       join(new_runs.labels));
  }

  // A rate is only comparable within one kernel version.
  if (comparison.base.library_versions != comparison.now.library_versions) {
    warn(
        "library_version",
        fmt::format("library versions differ (BASE {}, NEW {}): rates of different kernels "
                    "are not comparable",
                    join(comparison.base.library_versions), join(comparison.now.library_versions)));
  }
  for (const auto& [name, grouped] : {std::pair{"BASE", &base_runs}, std::pair{"NEW", &new_runs}}) {
    if (grouped->ignored > 0) {
      warn("ignored_runs",
           fmt::format("{} of {} did not complete and {} left out", plural(grouped->ignored, "run"),
                       name, agree(grouped->ignored, "is", "are")));
    }
  }

  // Unstable runs make any verdict shakier than its interval says: the
  // machine's load moved while they ran.
  for (const auto& [name, facts] :
       {std::pair{"BASE", &comparison.base}, std::pair{"NEW", &comparison.now}}) {
    if (facts->unstable_runs == 0) continue;
    warn("unstable",
         fmt::format("{} has {} of {} (median CV {}): the machine's load moved "
                     "while {} ran, so the rates may show the load rather than a change",
                     name, plural(facts->unstable_runs, "unstable run"), facts->completed_runs,
                     facts->median_cv_percent ? fmt::format("{:.1f} %", *facts->median_cv_percent)
                                              : std::string("unknown"),
                     agree(facts->unstable_runs, "it", "they")));
  }

  for (const std::string& label : common) {
    const auto& base_label = base_runs.runs.at(label);
    const auto& new_label = new_runs.runs.at(label);
    auto result = compare_label(label, base_label, new_label);
    if (!result) {
      return fmt::format(
          "'{}': a mean rate is not a positive finite number, or too large for "
          "finite figures",
          label);
    }
    const RatioTest& test = result->test;
    if (!std::isfinite(result->base.mean_rate) || !std::isfinite(result->now.mean_rate) ||
        !std::isfinite(test.ratio) || !(test.ratio > 0.0) || !(test.low > 0.0) ||
        !std::isfinite(test.high) || !std::isfinite(test.p_value)) {
      return fmt::format("'{}': the rates are too large or too far apart for finite figures",
                         label);
    }
    if (result->base.threads != result->now.threads) {
      warn("workers",
           fmt::format("'{}': worker counts differ (BASE {}, NEW {}): the rates "
                       "measure different work",
                       label, workers(result->base.threads), workers(result->now.threads)));
    }
    if (result->verdict == Verdict::not_judged) {
      warn("not_judged", fmt::format("'{}' {} (a side needs {} completed runs to judge the other "
                                     "by its spread)",
                                     label, not_judged_reason(*result), MIN_RUNS));
    }
    comparison.labels.push_back(std::move(*result));
  }
  return comparison;
}

std::vector<const LabelComparison*> slower_than(const Comparison& comparison, double percent) {
  const double threshold = 1 - percent / 100;
  std::vector<const LabelComparison*> tripped;
  for (const LabelComparison& label : comparison.labels) {
    if (label.verdict != Verdict::not_judged && label.test.high < threshold) {
      tripped.push_back(&label);
    }
  }
  return tripped;
}

std::size_t not_judged(const Comparison& comparison) {
  return static_cast<std::size_t>(std::count_if(
      comparison.labels.begin(), comparison.labels.end(),
      [](const LabelComparison& label) { return label.verdict == Verdict::not_judged; }));
}

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::faster:
      return "faster";
    case Verdict::slower:
      return "slower";
    case Verdict::not_judged:
      return "not judged";
    case Verdict::no_difference:
      break;
  }
  return "no significant difference";
}

std::string_view test_name(TestKind kind) {
  switch (kind) {
    case TestKind::welch:
      return WELCH_LOG_TEST;
    case TestKind::prediction:
      return PREDICTION_LOG_TEST;
    case TestKind::none:
      break;
  }
  return {};
}

std::string not_judged_reason(const LabelComparison& label) {
  return fmt::format("not judged: {} and {} runs; repeat with --repeat {}", label.base.runs,
                     label.now.runs, MIN_RUNS);
}

}  // namespace tarnwick
