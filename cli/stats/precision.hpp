// How many runs a stated precision needs, and the interval they justify.
//
// The quantity is the geometric mean of the runs' rates (the mean of their
// logarithms, as compare judges them). Stopping as soon as a t interval of
// the runs so far is narrow enough under-covers: a few runs that happen to
// agree give a narrow interval early. Stein's two-stage rule does not:
// the first FIRST_STAGE_RUNS runs estimate the spread s0, which alone fixes
// how many runs there will be in all,
//     N = max(n0, ceil((t s0 / d)^2)),   d = log(1 + target),
// with t the Student quantile of n0 - 1 degrees of freedom; the interval is
// then mean log ± t s0 / sqrt(n). Because N depends on the first stage
// only, the interval has its stated coverage whatever the spread, and at N
// runs its half-width is at most d by construction: the rule stops on the
// width it promises, never on the estimate.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr std::string_view STEIN_LOG_RULE = "Stein's two-stage rule on log rates";
inline constexpr std::size_t FIRST_STAGE_RUNS = 5;
inline constexpr double PRECISION_CONFIDENCE = 0.95;

struct PrecisionState {
  std::size_t runs = 0;       // rates counted
  double geometric_mean = 0;  // exp(mean log); 0 without a rate
  // The interval of the geometric mean and its half-width relative to it,
  // exp(h) - 1 (the wider side); none below two rates. Before the first
  // stage is complete it is the plain t interval of the rates so far, which
  // is sound for a count fixed in advance (a time limit), not for stopping.
  std::optional<double> low;
  std::optional<double> high;
  std::optional<double> half_width;
  std::size_t runs_needed = 0;  // N once the first stage is in; 0 before
  bool reached = false;         // N rates counted: half_width <= target
};

// The rule's state after `rates` (steps/s, in the order they ran; values
// that are not positive and finite are not counted). `target` is the
// relative half-width asked for (0.01 for ±1 %), `confidence` the
// interval's level. Nothing for a target or confidence outside (0, 1) or a
// first stage below two runs.
[[nodiscard]] std::optional<PrecisionState> precision_state(
    const std::vector<double>& rates, double target, double confidence = PRECISION_CONFIDENCE,
    std::size_t first_stage = FIRST_STAGE_RUNS);

}  // namespace tarnwick
