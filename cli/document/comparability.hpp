// What makes two runs measure the same thing, stated once: compare, the
// history's baseline, its series and the fleet report all decide it here.
// Two runs are comparable when their label, worker count, library version,
// architecture and CPU model agree; the host is who ran it, not what was
// measured, so it stays beside the comparable facts in the key without
// being one of them. A new library version starts new baselines and series:
// its rates may be counted in other units.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/judgeable.hpp"
#include "document/reader.hpp"
#include "stats/disturbance.hpp"

namespace tarnwick {

// A CPU model as runs are compared by it: blanks trimmed and collapsed to
// one space, ASCII letters in lower case. "Intel(R)  Xeon(R) " and
// "intel(r) xeon(r)" are one model.
[[nodiscard]] std::string normalize_model(std::string_view model);

// Where a run ran and what it measured. Unknown facts are empty strings.
struct RunKey {
  std::string host;  // identity only: never a reason runs differ
  std::string label;
  std::uint32_t threads = 0;
  std::string library_version;
  std::string arch;
  std::string cpu_model;  // as normalize_model() gives it

  friend bool operator==(const RunKey&, const RunKey&) = default;
  // clang-tidy 14 takes the defaulted comparison's own 0 for a null pointer.
  friend auto operator<=>(const RunKey&, const RunKey&) = default;  // NOLINT(modernize-use-nullptr)
};

[[nodiscard]] RunKey run_key(const std::string& host, const std::string& label,
                             std::uint32_t threads, const std::string& library_version,
                             const std::optional<std::string>& arch,
                             const std::optional<std::string>& cpu_model);
[[nodiscard]] RunKey run_key(const LoadedDocument& document, const LoadedRun& run);

// The comparable facts two keys can differ in, as bits.
enum class Difference : unsigned {
  label = 1u << 0,
  workers = 1u << 1,
  library = 1u << 2,
  arch = 1u << 3,
  cpu = 1u << 4,
};
using Differences = unsigned;

inline constexpr Differences bit(Difference difference) {
  return static_cast<Differences>(difference);
}
inline constexpr Differences ALL_DIFFERENCES = (1u << 5) - 1;
// What `--across` may accept: a library version never, its rates may be
// other units; a label is what runs are paired by.
inline constexpr Differences ACCEPTABLE_DIFFERENCES =
    bit(Difference::workers) | bit(Difference::arch) | bit(Difference::cpu);

// The facts in which `a` and `b` differ; the host is not one of them.
[[nodiscard]] Differences differences(const RunKey& a, const RunKey& b);

// True when a and b measured the same thing (the host aside).
[[nodiscard]] inline bool comparable(const RunKey& a, const RunKey& b) {
  return differences(a, b) == 0;
}

// "label", "workers", "library", "arch", "cpu": the names `--across` takes
// and the JSON gives.
[[nodiscard]] std::vector<std::string_view> difference_names(Differences differences);

// "cpu,workers" as bits; nothing for a name that is not one of the
// acceptable differences (`refused` gets it).
[[nodiscard]] std::optional<Differences> parse_differences(std::string_view text,
                                                           std::string* refused = nullptr);

// Mean rates compare can judge: document/judgeable's plausible range, the
// rule the reader refuses documents by. A stored run outside it (stored
// before the rule) is left out of a verdict and named.
inline constexpr double MIN_JUDGEABLE_RATE = MIN_PLAUSIBLE_RATE;
inline constexpr double MAX_JUDGEABLE_RATE = MAX_PLAUSIBLE_RATE;
[[nodiscard]] inline bool judgeable_rate(double rate) {
  return rate >= MIN_JUDGEABLE_RATE && rate <= MAX_JUDGEABLE_RATE;
}

// A run's own noise record judged by the disturbance rule
// (stats/disturbance.hpp), the CPUs available being its document's.
[[nodiscard]] Disturbance run_disturbance(const LoadedDocument& document, const LoadedRun& run);

}  // namespace tarnwick
