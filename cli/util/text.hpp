// Text from documents (host names, CPU models, labels) on its way to a
// terminal or a chart. A document is input like any other: a control
// character in a host name must not move the cursor, retitle the terminal
// or break an SVG, and cutting a name to its column must not split a
// character.
#pragma once

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "util/numbers.hpp"

namespace tarnwick {

// `text` with every control character (C0, DEL, C1) and every byte that is
// not UTF-8 shown as "\xNN", and the invisible or reordering characters by
// number, "<U+202E>" (util/escaping.hpp lists them); everything else as it
// was.
[[nodiscard]] std::string printable(std::string_view text);

// Characters (code points) in valid UTF-8 text.
[[nodiscard]] std::size_t characters(std::string_view text);

// The first `count` characters of valid UTF-8 text, and the last.
[[nodiscard]] std::string first_characters(std::string_view text, std::size_t count);
[[nodiscard]] std::string last_characters(std::string_view text, std::size_t count);

// Columns `text` takes on a terminal: code points, escape sequences (CSI)
// excluded; every character the program prints is one column wide.
[[nodiscard]] int display_width(std::string_view text);

// Each line of `text` folded at spaces into lines of at most `width`
// columns; a continuation starts with `indent` spaces, fewer where that
// would leave a narrow terminal less than a readable column. A word is never
// split: one longer than the room gets a line of its own. Width 0: as it was.
[[nodiscard]] std::string wrap_words(std::string_view text, int width, int indent);

// "a", "a and b", "a, b and c": the items as a sentence lists them, `last`
// ("and", "or") before the last.
[[nodiscard]] std::string listed(const std::vector<std::string>& items,
                                 std::string_view last = "and");

// `one` when `count` is 1, else `many`: the word that agrees with a count
// ("was"/"were", "it"/"them").
template <std::integral T>
[[nodiscard]] constexpr std::string_view agree(T count, std::string_view one,
                                               std::string_view many) noexcept {
  return count == 1 ? one : many;
}

// The count, digits grouped as everywhere in the program's text, with its
// noun: "1 run", "3 runs", "1,000 runs"; `many` where the plural is not the
// noun and an "s" ("series").
template <std::integral T>
[[nodiscard]] std::string plural(T count, std::string_view one, std::string_view many = {}) {
  std::string text = grouped(static_cast<double>(count));
  text += ' ';
  text += count == 1 || many.empty() ? one : many;
  text += count != 1 && many.empty() ? "s" : "";
  return text;
}

}  // namespace tarnwick
