#include "compare/render.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cmath>

#include "util/json.hpp"
#include "util/numbers.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

constexpr std::size_t NAME_COLUMN = 15;
constexpr std::size_t SIDE_COLUMN = 32;

std::string join(const std::vector<std::string>& values) {
  return values.empty() ? std::string("unknown") : fmt::format("{}", fmt::join(values, ", "));
}

// Side by side when BASE's value fits its column, else one line each.
void side_row(std::string& text, const char* name, const std::string& raw_base,
              const std::string& raw_now) {
  const std::string base = printable(raw_base);
  const std::string now = printable(raw_now);
  if (characters(base) < SIDE_COLUMN) {
    text += fmt::format("{:<{}}{}{:<{}}{}\n", name, NAME_COLUMN, base, "",
                        SIDE_COLUMN - characters(base), now);
    return;
  }
  text += fmt::format("{:<{}}BASE {}\n", name, NAME_COLUMN, base);
  text += fmt::format("{:<{}}NEW  {}\n", "", NAME_COLUMN, now);
}

void row(std::string& text, const char* name, const std::string& value) {
  text += fmt::format("  {:<{}}{}\n", name, NAME_COLUMN - 2, value);
}

std::string workers_text(const LabelComparison& label) {
  const auto list = [](const std::vector<std::uint32_t>& threads) {
    return fmt::format("{}", fmt::join(threads, "/"));
  };
  const bool one = label.base.threads.size() == 1 && label.base.threads.front() == 1;
  if (label.base.threads == label.now.threads) {
    return fmt::format("{} worker{}", list(label.base.threads), one ? "" : "s");
  }
  return fmt::format("BASE {} workers, NEW {}", list(label.base.threads), list(label.now.threads));
}

std::string p_text(double p) {
  return p < 0.001 ? std::string("p < 0.001") : fmt::format("p = {:.3f}", p);
}

std::string change_text(double ratio) {
  return fmt::format("{:.1f} %", std::fabs(ratio - 1) * 100);
}

const char* interval_name(TestKind kind) { return kind == TestKind::prediction ? "PI" : "CI"; }

std::string cv_text(const SideFacts& facts) {
  return facts.median_cv_percent ? fmt::format("{:.1f} %", *facts.median_cv_percent)
                                 : std::string("unknown");
}

nlohmann::ordered_json side_json(const SideFacts& facts) {
  return {{"source", facts.source},
          {"documents", facts.documents},
          {"completed_runs", facts.completed_runs},
          {"hosts", facts.hosts},
          {"cpu_models", facts.cpu_models},
          {"architectures", facts.architectures},
          {"library_versions", facts.library_versions},
          {"median_cv_percent", or_null(facts.median_cv_percent)},
          {"unstable_runs", facts.unstable_runs}};
}

nlohmann::ordered_json label_side_json(const LabelSide& side) {
  return {{"mean_rate", or_null(side.observations > 0, side.mean_rate)},
          {"runs", side.runs},
          {"observations", side.observations},
          {"threads", side.threads}};
}

nlohmann::ordered_json names_json(Differences differences) {
  nlohmann::ordered_json names = nlohmann::ordered_json::array();
  for (const std::string_view name : difference_names(differences)) names.push_back(name);
  return names;
}

nlohmann::ordered_json label_json(const LabelComparison& label) {
  const bool tested = label.kind != TestKind::none;
  const RatioTest& test = label.test;
  return {{"label", label.label},
          {"base", label_side_json(label.base)},
          {"new", label_side_json(label.now)},
          {"observations", "runs"},
          {"test", or_null(tested, std::string(test_name(label.kind)))},
          {"ratio", or_null(label.has_ratio, test.ratio)},
          {"confidence", test.confidence},
          {"ratio_low", or_null(tested, test.low)},
          {"ratio_high", or_null(tested, test.high)},
          {"p_value", or_null(tested, test.p_value)},
          {"t", or_null(tested, test.t)},
          {"degrees_of_freedom", or_null(tested, test.degrees_of_freedom)},
          {"verdict", verdict_name(label.verdict)},
          {"differences", names_json(label.differences)},
          {"accepted_differences", names_json(label.accepted)},
          {"differs", or_null(!label.differs.empty(), label.differs)},
          {"not_judged", label.why == NotJudged::judged
                             ? nlohmann::ordered_json(nullptr)
                             : nlohmann::ordered_json{{"kind", not_judged_name(label.why)},
                                                      {"text", label.reason}}}};
}

nlohmann::ordered_json comparison_json(const Comparison& comparison) {
  nlohmann::ordered_json labels = nlohmann::ordered_json::array();
  for (const LabelComparison& label : comparison.labels) labels.push_back(label_json(label));
  nlohmann::ordered_json left_out = nlohmann::ordered_json::array();
  for (const LeftOut& runs : comparison.left_out) {
    left_out.push_back({{"side", runs.side},
                        {"label", or_null(!runs.label.empty(), runs.label)},
                        {"kind", runs.kind},
                        {"count", runs.count},
                        {"run_ids", runs.run_ids},
                        {"text", runs.text}});
  }
  nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
  for (const ComparisonWarning& warning : comparison.warnings) {
    warnings.push_back({{"kind", warning.kind}, {"text", warning.text}});
  }
  return {{"base", side_json(comparison.base)},
          {"new", side_json(comparison.now)},
          {"labels", labels},
          {"left_out", left_out},
          {"warnings", warnings}};
}

}  // namespace

std::string ratio_text(const LabelComparison& label) {
  if (!label.has_ratio) return "none: no run of a side remains";
  if (label.kind == TestKind::none) return fmt::format("{:.3f}, no interval", label.test.ratio);
  return fmt::format("{:.3f}, {:.0f} % {} {:.3f} to {:.3f}", label.test.ratio,
                     label.test.confidence * 100, interval_name(label.kind), label.test.low,
                     label.test.high);
}

std::string verdict_text(const LabelComparison& label) {
  switch (label.verdict) {
    case Verdict::faster:
      return "FASTER by " + change_text(label.test.ratio);
    case Verdict::slower:
      return "SLOWER by " + change_text(label.test.ratio);
    case Verdict::not_judged:
      return label.reason;
    case Verdict::no_difference:
      break;
  }
  return "no significant difference";
}

std::string comparison_text(const Comparison& comparison, int width) {
  const SideFacts& base = comparison.base;
  const SideFacts& now = comparison.now;
  std::string text;
  side_row(text, "", "BASE", "NEW");
  side_row(text, "source", base.source, now.source);
  side_row(text, "host", join(base.hosts), join(now.hosts));
  side_row(text, "CPU", join(base.cpu_models), join(now.cpu_models));
  side_row(text, "architecture", join(base.architectures), join(now.architectures));
  side_row(text, "library", join(base.library_versions), join(now.library_versions));
  side_row(text, "completed runs", fmt::format("{}", base.completed_runs),
           fmt::format("{}", now.completed_runs));
  side_row(text, "median CV", cv_text(base), cv_text(now));
  side_row(text, "unstable runs", fmt::format("{}", base.unstable_runs),
           fmt::format("{}", now.unstable_runs));

  for (const LabelComparison& label : comparison.labels) {
    text += fmt::format("\n{} ({})\n", printable(label.label), workers_text(label));
    const auto rate = [](const LabelSide& side) {
      if (side.observations == 0) return fmt::format("none of {}", plural(side.runs, "run"));
      const std::string runs = side.observations == side.runs
                                   ? plural(side.runs, "run")
                                   : fmt::format("{} of {}", side.observations, side.runs);
      return fmt::format("{} steps/s ({})", grouped(side.mean_rate), runs);
    };
    const std::string base_rate = rate(label.base);
    text += fmt::format("  {:<{}}{:<{}}{}\n", "mean rate", NAME_COLUMN - 2, base_rate,
                        std::max(SIDE_COLUMN, base_rate.size() + 1), rate(label.now));
    const bool judged = label.verdict != Verdict::not_judged;
    row(text, "NEW/BASE", ratio_text(label) + (judged || !label.has_ratio ? "" : " (information)"));
    if (label.kind != TestKind::none) {
      row(text, "test",
          fmt::format("{}, {}, {:.1f} df", test_name(label.kind), p_text(label.test.p_value),
                      label.test.degrees_of_freedom));
      row(text, "observations",
          fmt::format("{} + {} runs' mean rates", label.base.observations, label.now.observations));
    } else {
      row(text, "test", "none");
    }
    if (!label.differs.empty()) row(text, "differs", label.differs);
    row(text, "verdict", verdict_text(label));
  }
  return wrap_words(text, width, static_cast<int>(NAME_COLUMN));
}

nlohmann::ordered_json comparisons_json(const std::vector<Comparison>& comparisons,
                                        std::optional<double> fail_slower) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Comparison& comparison : comparisons) list.push_back(comparison_json(comparison));
  nlohmann::ordered_json gate = nullptr;
  if (fail_slower) {
    nlohmann::ordered_json tripped = nlohmann::ordered_json::array();
    for (const Comparison& comparison : comparisons) {
      for (const LabelComparison* label : slower_than(comparison, *fail_slower)) {
        tripped.push_back(label->label);
      }
    }
    gate = {{"fail_slower_percent", *fail_slower},
            {"threshold", 1 - *fail_slower / 100},
            {"tripped", !tripped.empty()},
            {"labels", tripped}};
  }
  return {{"schema_version", COMPARE_SCHEMA_VERSION},
          {"program", "tarnwick"},
          {"command", "compare"},
          {"comparisons", list},
          {"gate", gate}};
}

std::vector<std::string> gate_messages(const Comparison& comparison, double fail_slower) {
  std::vector<std::string> messages;
  for (const LabelComparison* label : slower_than(comparison, fail_slower)) {
    messages.push_back(fmt::format(
        "gate: '{}' is slower by more than {} %: ratio {:.3f}, the upper end of its {:.0f} % {} "
        "is {:.3f} ({})",
        printable(label->label), fail_slower, label->test.ratio, label->test.confidence * 100,
        interval_name(label->kind), label->test.high, test_name(label->kind)));
  }
  return messages;
}

}  // namespace tarnwick
