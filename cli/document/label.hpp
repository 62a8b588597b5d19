// The two kinds of run a session holds, and the names documents, the
// history and every output give them.
#pragma once

#include <optional>
#include <string_view>

namespace tarnwick {

enum class Label { single, all_cpus };

// "single" or "all-cpus": views of string literals.
[[nodiscard]] constexpr std::string_view name(Label label) noexcept {
  return label == Label::all_cpus ? "all-cpus" : "single";
}

// The label of a run that used one worker per CPU, or one worker.
[[nodiscard]] constexpr Label label_of(bool all_cpus) noexcept {
  return all_cpus ? Label::all_cpus : Label::single;
}

// The label a name stands for; nullopt for any other text.
[[nodiscard]] constexpr std::optional<Label> parse_label(std::string_view text) noexcept {
  for (const Label label : {Label::single, Label::all_cpus}) {
    if (text == name(label)) return label;
  }
  return std::nullopt;
}

}  // namespace tarnwick
