#include "compare/comparison.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <utility>

#include "stats/robust.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

template <typename T>
void add_distinct(std::vector<T>& values, const T& value) {
  if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
}

// Values of one fact on a side, as the messages give them.
template <typename T>
std::string values_text(const std::vector<T>& values, std::string_view separator = "/") {
  if (values.empty()) return "unknown";
  return fmt::format("{}", fmt::join(values, separator));
}

bool completed(const LoadedRun& run) {
  return run.status == Status::completed && run.mean_rate.has_value();
}

// A completed run of a side, numbered in the side's reading order (from 1).
struct SideRun {
  const LoadedDocument* document = nullptr;
  const LoadedRun* run = nullptr;
  std::size_t number = 0;
};

struct SideRuns {
  const char* name = "";
  std::vector<std::string> labels;  // in the order first met
  std::map<std::string, std::vector<SideRun>> runs;
  std::size_t not_completed = 0;
};

SideRuns collect(const ComparisonSide& side, const char* name) {
  SideRuns found;
  found.name = name;
  std::size_t number = 0;
  for (const LoadedDocument& document : side.documents) {
    for (const LoadedRun& run : document.runs) {
      ++number;
      if (!completed(run)) {
        ++found.not_completed;
        continue;
      }
      add_distinct(found.labels, run.label);
      found.runs[run.label].push_back({&document, &run, number});
    }
  }
  return found;
}

SideFacts side_facts(const ComparisonSide& side, const SideRuns& grouped) {
  SideFacts facts;
  facts.source = side.source;
  facts.documents = side.documents.size();
  std::vector<double> cvs;
  for (const auto& [label, runs] : grouped.runs) {
    facts.completed_runs += runs.size();
    for (const SideRun& run : runs) {
      if (run.run->cv_percent) cvs.push_back(*run.run->cv_percent);
      if (run.run->unstable) ++facts.unstable_runs;
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

LabelSide label_side(const std::vector<SideRun>& all, const std::vector<SideRun>& kept) {
  LabelSide side;
  side.runs = all.size();
  side.observations = kept.size();
  // A running mean: a sum of rates near the largest double would overflow.
  double count = 0;
  for (const SideRun& run : kept)
    side.mean_rate += (*run.run->mean_rate - side.mean_rate) / ++count;
  for (const SideRun& run : all) {
    add_distinct(side.threads, run.run->threads);
    if (run.document->cpu_model) add_distinct(side.cpu_models, *run.document->cpu_model);
    if (run.document->arch) add_distinct(side.architectures, *run.document->arch);
    add_distinct(side.library_versions, run.document->library_version);
  }
  return side;
}

// One value of each run, in the runs' order.
template <typename Value>
auto each_run(const std::vector<SideRun>& runs, Value value) {
  std::vector<decltype(value(runs.front()))> values;
  values.reserve(runs.size());
  for (const SideRun& run : runs) values.push_back(value(run));
  return values;
}

std::vector<double> rates(const std::vector<SideRun>& runs) {
  return each_run(runs, [](const SideRun& run) { return *run.run->mean_rate; });
}

std::string other_time(const LoadedRun& run) {
  std::vector<std::string> parts;
  if (run.other_cpus)
    parts.push_back(fmt::format("other processes used {:.1f} CPUs", *run.other_cpus));
  if (run.steal_percent) parts.push_back(fmt::format("steal {:.1f} %", *run.steal_percent));
  return fmt::format("{}", fmt::join(parts, ", "));
}

std::string differs_text(Differences found, const LabelSide& base, const LabelSide& now) {
  std::vector<std::string> parts;
  if ((found & bit(Difference::workers)) != 0) {
    const bool one = now.threads.size() == 1 && now.threads.front() == 1;
    parts.push_back(
        fmt::format("NEW ran {} worker{}, BASE {}: the difference includes the CPUs "
                    "available",
                    values_text(now.threads), one ? "" : "s", values_text(base.threads)));
  }
  if ((found & bit(Difference::library)) != 0) {
    parts.push_back(
        fmt::format("NEW ran library {}, BASE {}: rates of two library versions may "
                    "be other units, and are never judged",
                    printable(values_text(now.library_versions)),
                    printable(values_text(base.library_versions))));
  }
  if ((found & bit(Difference::arch)) != 0) {
    parts.push_back(fmt::format("NEW ran on {}, BASE on {}",
                                printable(values_text(now.architectures)),
                                printable(values_text(base.architectures))));
  }
  if ((found & bit(Difference::cpu)) != 0) {
    parts.push_back(fmt::format("NEW ran on the CPU model {}, BASE on {}",
                                printable(values_text(now.cpu_models)),
                                printable(values_text(base.cpu_models))));
  }
  return fmt::format("{}", fmt::join(parts, "; "));
}

// What the two sides' runs of a label differ in: every pair of keys.
Differences label_differences(const std::vector<SideRun>& base, const std::vector<SideRun>& now) {
  const auto keys = [](const std::vector<SideRun>& runs) {
    std::set<RunKey> found;
    for (const SideRun& run : runs) {
      RunKey key = run_key(*run.document, *run.run);
      key.host.clear();
      found.insert(std::move(key));
    }
    return found;
  };
  const std::set<RunKey> base_keys = keys(base);
  const std::set<RunKey> new_keys = keys(now);
  Differences found = 0;
  for (const RunKey& a : base_keys) {
    for (const RunKey& b : new_keys) found |= differences(a, b);
    for (const RunKey& b : base_keys) found |= differences(a, b);
  }
  for (const RunKey& a : new_keys) {
    for (const RunKey& b : new_keys) found |= differences(a, b);
  }
  return found;
}

// Leaves out the runs `drop` chooses, recording them as one LeftOut.
class Sifter {
 public:
  Sifter(std::vector<LeftOut>& left_out, const char* side, std::string label)
      : left_out_(left_out), side_(side), label_(std::move(label)) {}

  // `drop` says whether a run goes; `text` makes the sentence of those that went.
  template <typename Drop, typename Text>
  void sift(std::vector<SideRun>& runs, const char* kind, Drop drop, Text text) {
    std::vector<SideRun> gone;
    std::vector<SideRun> kept;
    for (const SideRun& run : runs) (drop(run) ? gone : kept).push_back(run);
    if (gone.empty()) return;
    runs = std::move(kept);
    left_out_.push_back({side_, label_, kind, gone.size(),
                         each_run(gone, [](const SideRun& run) { return run.run->id; }),
                         text(gone)});
  }

  [[nodiscard]] std::string runs_named(const std::vector<SideRun>& runs) const {
    return fmt::format("{}'s {} of '{}'", side_,
                       run_numbers(each_run(runs, [](const SideRun& run) { return run.number; })),
                       printable(label_));
  }

 private:
  std::vector<LeftOut>& left_out_;
  const char* side_;
  std::string label_;
};

// The runs of one side of a label that can be judged, the rest recorded.
std::vector<SideRun> sift_side(std::vector<SideRun> runs, const char* side,
                               const std::string& label, const std::set<std::string>* base_ids,
                               const CompareRules& rules, Comparison& comparison) {
  Sifter sifter(comparison.left_out, side, label);
  if (base_ids != nullptr) {
    sifter.sift(
        runs, "on_both_sides",
        [&](const SideRun& run) { return base_ids->count(run.run->id) != 0; },
        [&](const std::vector<SideRun>& gone) {
          return fmt::format("{} {} also in BASE: counted in BASE only", sifter.runs_named(gone),
                             gone.size() == 1 ? "is" : "are");
        });
  }
  sifter.sift(
      runs, "rate", [](const SideRun& run) { return !judgeable_rate(*run.run->mean_rate); },
      [&](const std::vector<SideRun>& gone) {
        return fmt::format(
            "{} {} a mean rate outside {:g} to {:g} steps/s, which cannot be judged: left out",
            sifter.runs_named(gone), gone.size() == 1 ? "has" : "have", MIN_JUDGEABLE_RATE,
            MAX_JUDGEABLE_RATE);
      });
  // Competition the figures show inside a container is the host's: noted.
  std::vector<SideRun> noted;
  for (const SideRun& run : runs) {
    const Disturbance found = run_disturbance(*run.document, *run.run);
    if (found.shown() && !found.disturbed()) noted.push_back(run);
  }
  if (!noted.empty()) {
    comparison.warnings.push_back(
        {"container",
         fmt::format("{} ran in a container whose host's figures show competition ({}): kept, "
                     "the figures being the whole host's",
                     sifter.runs_named(noted), other_time(*noted.front().run))});
  }
  if (!rules.keep_disturbed) {
    sifter.sift(
        runs, "disturbed",
        [](const SideRun& run) { return run_disturbance(*run.document, *run.run).disturbed(); },
        [&](const std::vector<SideRun>& gone) {
          std::vector<std::string> each;
          each.reserve(gone.size());
          for (const SideRun& run : gone) {
            each.push_back(fmt::format("run {}: {}", run.number, other_time(*run.run)));
          }
          return fmt::format(
              "{} ran while other work competed for the CPUs ({}): left out (--keep-disturbed "
              "keeps {})",
              sifter.runs_named(gone), fmt::join(each, "; "), gone.size() == 1 ? "it" : "them");
        });
  }
  // Equal rates are copies under other ids, not runs that agree: each
  // rate counts once, so no spread is ever taken for evidence.
  const std::size_t before = runs.size();
  std::set<double> seen;
  sifter.sift(
      runs, "identical_rates",
      [&](const SideRun& run) { return !seen.insert(*run.run->mean_rate).second; },
      [&](const std::vector<SideRun>& gone) {
        if (gone.size() + 1 == before) {
          return fmt::format("{}'s {} runs of '{}' have identical rates: counted as one", side,
                             before, printable(label));
        }
        return fmt::format("{} repeat{} another run's rate exactly: each rate counted once",
                           sifter.runs_named(gone), gone.size() == 1 ? "s" : "");
      });
  return runs;
}

std::optional<RatioTest> make_test(TestKind& kind, const std::vector<double>& base,
                                   const std::vector<double>& now) {
  if (base.size() >= MIN_RUNS && now.size() >= MIN_RUNS) {
    kind = TestKind::welch;
    return welch_log_ratio(base, now);
  }
  if ((base.size() >= MIN_RUNS && !now.empty()) || (now.size() >= MIN_RUNS && !base.empty())) {
    kind = TestKind::prediction;
    return prediction_log_ratio(base, now);
  }
  kind = TestKind::none;
  return std::nullopt;
}

bool finite_test(const RatioTest& test) {
  return std::isfinite(test.ratio) && test.ratio > 0 && test.low > 0 && std::isfinite(test.high) &&
         std::isfinite(test.p_value);
}

LabelComparison compare_label(const std::string& label, const std::vector<SideRun>& base_all,
                              const std::vector<SideRun>& new_all, const std::vector<SideRun>& base,
                              const std::vector<SideRun>& now, const CompareRules& rules) {
  LabelComparison result;
  result.label = label;
  result.base = label_side(base_all, base);
  result.now = label_side(new_all, now);
  result.differences = label_differences(base_all, new_all);
  result.accepted = result.differences & rules.across & ACCEPTABLE_DIFFERENCES;
  if (result.differences != 0) {
    result.differs = differs_text(result.differences, result.base, result.now);
  }

  const std::vector<double> base_values = rates(base);
  const std::vector<double> new_values = rates(now);
  if (const auto ratio = geometric_ratio(base_values, new_values)) {
    result.test.ratio = *ratio;
    result.has_ratio = std::isfinite(*ratio) && *ratio > 0;
  }
  TestKind kind = TestKind::none;
  if (auto test = make_test(kind, base_values, new_values); test && finite_test(*test)) {
    result.kind = kind;
    result.test = *test;
    result.has_ratio = true;
  }

  const Differences refused = result.differences & ~result.accepted;
  if ((result.differences & bit(Difference::library)) != 0) {
    result.why = NotJudged::library;
    result.reason = "not judged: the library versions differ";
  } else if (refused != 0) {
    result.why = NotJudged::differs;
    result.reason = fmt::format("not judged: the sides differ in {} (--across {} accepts {})",
                                fmt::join(difference_names(refused), ", "),
                                fmt::join(difference_names(refused), ","),
                                (refused & (refused - 1)) != 0 ? "them" : "it");
  } else if (result.kind == TestKind::none) {
    result.why = NotJudged::too_few;
    const bool sifted = base.size() < base_all.size() || now.size() < new_all.size();
    if (sifted) {
      result.reason = fmt::format(
          "not judged: too few runs remain (BASE {} of {}, NEW {} of {}; see the runs left out)",
          base.size(), base_all.size(), now.size(), new_all.size());
    } else if (base_values.size() >= MIN_RUNS || new_values.size() >= MIN_RUNS) {
      result.reason = "not judged: the runs show no spread to judge by";
    } else {
      result.reason = fmt::format("not judged: {} and {} runs; repeat with --repeat {}",
                                  base_all.size(), new_all.size(), MIN_RUNS);
    }
  }
  if (result.why != NotJudged::judged) return result;
  result.verdict = Verdict::no_difference;
  if (result.test.low > 1) {
    result.verdict = Verdict::faster;
  } else if (result.test.high < 1) {
    result.verdict = Verdict::slower;
  }
  return result;
}

// Labels on both sides, in BASE's order; each label on one side only is a
// warning.
std::vector<std::string> common_labels(const SideRuns& base_runs, const SideRuns& new_runs,
                                       Comparison& comparison) {
  std::vector<std::string> common;
  for (const std::string& label : base_runs.labels) {
    if (new_runs.runs.count(label) != 0) {
      common.push_back(label);
    } else {
      comparison.warnings.push_back(
          {"one_side_only",
           fmt::format("'{}' runs are only in BASE: not compared", printable(label))});
    }
  }
  for (const std::string& label : new_runs.labels) {
    if (base_runs.runs.count(label) == 0) {
      comparison.warnings.push_back(
          {"one_side_only",
           fmt::format("'{}' runs are only in NEW: not compared", printable(label))});
    }
  }
  return common;
}

void note_not_completed(const SideRuns& base_runs, const SideRuns& new_runs,
                        Comparison& comparison) {
  for (const SideRuns* grouped : {&base_runs, &new_runs}) {
    if (grouped->not_completed == 0) continue;
    comparison.left_out.push_back({grouped->name,
                                   "",
                                   "not_completed",
                                   grouped->not_completed,
                                   {},
                                   fmt::format("{} of {} did not complete and {} left out",
                                               plural(grouped->not_completed, "run"), grouped->name,
                                               grouped->not_completed == 1 ? "is" : "are")});
  }
}

// Unstable runs make any verdict shakier than its interval says: the
// machine's load moved while they ran.
void warn_unstable(Comparison& comparison) {
  for (const auto& [name, facts] :
       {std::pair{"BASE", &comparison.base}, std::pair{"NEW", &comparison.now}}) {
    if (facts->unstable_runs == 0) continue;
    comparison.warnings.push_back(
        {"unstable",
         fmt::format("{} has {} of {} (median CV {}): the machine's load moved while {} ran, so "
                     "the rates may show the load rather than a change",
                     name, plural(facts->unstable_runs, "unstable run"), facts->completed_runs,
                     facts->median_cv_percent ? fmt::format("{:.1f} %", *facts->median_cv_percent)
                                              : std::string("unknown"),
                     facts->unstable_runs == 1 ? "it" : "they")});
  }
}

}  // namespace

std::string run_numbers(const std::vector<std::size_t>& numbers) {
  std::vector<std::string> texts;
  texts.reserve(numbers.size());
  for (const std::size_t number : numbers) texts.push_back(std::to_string(number));
  return (numbers.size() == 1 ? "run " : "runs ") + listed(texts);
}

std::variant<Comparison, std::string> compare_sides(const ComparisonSide& base,
                                                    const ComparisonSide& now,
                                                    const CompareRules& rules) {
  const SideRuns base_runs = collect(base, "BASE");
  const SideRuns new_runs = collect(now, "NEW");
  for (const auto& [side, grouped] : {std::pair{&base, &base_runs}, std::pair{&now, &new_runs}}) {
    if (!grouped->labels.empty()) continue;
    if (grouped->not_completed == 0) {
      return fmt::format("{} ({}) has no runs", grouped->name, printable(side->source));
    }
    return fmt::format("{} ({}) has no completed run: its {} failed or {} cancelled", grouped->name,
                       printable(side->source), plural(grouped->not_completed, "run"),
                       grouped->not_completed == 1 ? "was" : "were");
  }

  Comparison comparison;
  comparison.base = side_facts(base, base_runs);
  comparison.now = side_facts(now, new_runs);
  for (const ComparisonSide* side : {&base, &now}) {
    comparison.left_out.insert(comparison.left_out.end(), side->left_out.begin(),
                               side->left_out.end());
  }
  auto warn = [&comparison](std::string kind, std::string text) {
    comparison.warnings.push_back({std::move(kind), std::move(text)});
  };

  const std::vector<std::string> common = common_labels(base_runs, new_runs, comparison);
  if (common.empty()) {
    return fmt::format("no run label in both BASE ({}) and NEW ({})",
                       printable(values_text(base_runs.labels, ", ")),
                       printable(values_text(new_runs.labels, ", ")));
  }

  note_not_completed(base_runs, new_runs, comparison);
  warn_unstable(comparison);

  // A run on both sides belongs to BASE.
  std::set<std::string> base_ids;
  for (const auto& [label, runs] : base_runs.runs) {
    for (const SideRun& run : runs) base_ids.insert(run.run->id);
  }

  for (const std::string& label : common) {
    const std::vector<SideRun>& base_all = base_runs.runs.at(label);
    const std::vector<SideRun>& new_all = new_runs.runs.at(label);
    const std::vector<SideRun> base_kept =
        sift_side(base_all, "BASE", label, nullptr, rules, comparison);
    const std::vector<SideRun> new_kept =
        sift_side(new_all, "NEW", label, &base_ids, rules, comparison);
    LabelComparison result = compare_label(label, base_all, new_all, base_kept, new_kept, rules);
    const bool all_shared = std::all_of(new_all.begin(), new_all.end(), [&](const SideRun& run) {
      return base_ids.count(run.run->id) != 0;
    });
    if (all_shared && result.why != NotJudged::library && result.why != NotJudged::differs) {
      result.why = NotJudged::same_runs;
      result.reason = "not judged: the sides hold the same runs";
      result.verdict = Verdict::not_judged;
    }
    if (!result.differs.empty()) {
      if (result.why == NotJudged::judged) {
        warn("across", fmt::format("'{}': judged across what differs, as --across asks: {}",
                                   printable(label), result.differs));
      } else {
        warn("differs", fmt::format("'{}': {}", printable(label), result.differs));
      }
    }
    if (result.why != NotJudged::judged) {
      warn("not_judged", fmt::format("'{}' {}", printable(label), result.reason));
    }
    comparison.labels.push_back(std::move(result));
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

std::string_view not_judged_name(NotJudged why) {
  switch (why) {
    case NotJudged::too_few:
      return "too_few";
    case NotJudged::differs:
      return "differs";
    case NotJudged::library:
      return "library";
    case NotJudged::same_runs:
      return "same_runs";
    case NotJudged::judged:
      break;
  }
  return {};
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

}  // namespace tarnwick
