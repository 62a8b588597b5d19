#include "compare/ci.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

#include "compare/render.hpp"
#include "util/numbers.hpp"

namespace tarnwick {
namespace {

std::string sides_name(const Comparison& comparison) {
  const auto hosts = [](const SideFacts& facts) {
    return facts.hosts.empty() ? std::string() : fmt::format(" ({})", fmt::join(facts.hosts, ", "));
  };
  return fmt::format("{}{} vs {}{}", comparison.base.source, hosts(comparison.base),
                     comparison.now.source, hosts(comparison.now));
}

std::string workers(const LabelComparison& label) {
  std::vector<std::uint32_t> all = label.base.threads;
  for (const std::uint32_t count : label.now.threads) {
    if (std::find(all.begin(), all.end(), count) == all.end()) all.push_back(count);
  }
  return fmt::format("{}", fmt::join(all, "/"));
}

std::string case_name(const LabelComparison& label) {
  const bool one = workers(label) == "1";
  return fmt::format("{} ({} worker{})", label.label, workers(label), one ? "" : "s");
}

bool tripped(const Comparison& comparison, const LabelComparison& label,
             std::optional<double> fail_slower) {
  if (!fail_slower) return false;
  const auto slow = slower_than(comparison, *fail_slower);
  return std::find(slow.begin(), slow.end(), &label) != slow.end();
}

std::string rate(const LabelSide& side) {
  return side.observations == 0 ? std::string("-") : grouped(side.mean_rate);
}

}  // namespace

CiSuite comparison_suite(const Comparison& comparison, std::optional<double> fail_slower) {
  CiSuite suite{"tarnwick compare: " + sides_name(comparison), {}};
  for (const LabelComparison& label : comparison.labels) {
    CiCase one{case_name(label), CiCase::Outcome::passed, {}, {}};
    one.detail = fmt::format("NEW/BASE {}; {}", ratio_text(label), verdict_text(label));
    if (!label.differs.empty()) one.detail += "\n" + label.differs;
    if (tripped(comparison, label, fail_slower)) {
      one.outcome = CiCase::Outcome::failed;
      one.message = fmt::format("slower by more than {} %: {}", *fail_slower, verdict_text(label));
    } else if (label.verdict == Verdict::not_judged) {
      one.outcome = CiCase::Outcome::skipped;
      one.message = label.reason;
    }
    suite.cases.push_back(std::move(one));
  }
  return suite;
}

MarkdownTable comparison_table(const Comparison& comparison, std::optional<double> fail_slower) {
  MarkdownTable table;
  table.heading = "tarnwick compare: " + sides_name(comparison);
  table.columns = {"Label", "Workers", "BASE steps/s", "NEW steps/s", "NEW/BASE", "Verdict"};
  if (fail_slower) table.columns.push_back(fmt::format("Gate ({} %)", *fail_slower));
  for (const LabelComparison& label : comparison.labels) {
    std::vector<std::string> cells = {label.label,     workers(label),    rate(label.base),
                                      rate(label.now), ratio_text(label), verdict_text(label)};
    if (fail_slower) {
      cells.emplace_back(label.verdict == Verdict::not_judged      ? "not judged"
                         : tripped(comparison, label, fail_slower) ? "FAILED"
                                                                   : "passed");
    }
    table.rows.push_back(std::move(cells));
  }
  for (const LabelComparison& label : comparison.labels) {
    if (!label.differs.empty()) table.notes.push_back("- " + label.label + ": " + label.differs);
  }
  for (const LeftOut& runs : comparison.left_out) table.notes.push_back("- " + runs.text);
  return table;
}

}  // namespace tarnwick
