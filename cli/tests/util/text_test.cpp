#include "util/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tarnwick {
namespace {

TEST(Printable, ShowsControlsAndBrokenBytesAndKeepsCharactersWhole) {
  const std::pair<std::string, std::string> cases[] = {
      {"node01", "node01"},
      {"h\xC3\xA9te \xE4\xB8\xBB", "h\xC3\xA9te \xE4\xB8\xBB"},  // é and 主 kept
      {"a\x1B]0;t\x07"
       "b\n",
       "a\\x1B]0;t\\x07b\\x0A"},
      {"del\x7F c1\xC2\x9B", "del\\x7F c1\\x9B"},
      {"cut\xE4\xB8", "cut\\xE4\\xB8"},                         // a character cut short
      {"\xC0\xAF \xED\xA0\x80", "\\xC0\\xAF \\xED\\xA0\\x80"},  // overlong, surrogate
  };
  for (const auto& [raw, shown] : cases) EXPECT_EQ(printable(raw), shown) << raw;
  const std::string wide = "\xC3\xA9\xC3\xA9x\xE4\xB8\xBB";  // ééx主
  EXPECT_EQ(characters(wide), 4u);
  EXPECT_EQ(first_characters(wide, 3), "\xC3\xA9\xC3\xA9x");
  EXPECT_EQ(last_characters(wide, 1), "\xE4\xB8\xBB");
  EXPECT_EQ(last_characters(wide, 9), wide);
}

TEST(WrapWords, FoldsAtSpacesUnderTheValueAndNeverSplitsAWord) {
  struct Case {
    std::string text;
    int width, indent;
    std::string expected;
  };
  const std::string row = "  window       2.000 s measured of 2 s, after a 0.5 s warm-up";
  for (const Case& c : {
           Case{row, 39, 15,
                "  window       2.000 s measured of 2 s,\n"
                "               after a 0.5 s warm-up"},
           Case{row, 37, 15,
                "  window       2.000 s measured of\n"
                "               2 s, after a 0.5 s\n"
                "               warm-up"},
           Case{row, 0, 15, row},
           Case{row, 200, 15, row},
           // Too narrow for the indent: it shrinks to leave 20 columns.
           Case{"host           a b c d e f g h i j k l", 25, 15,
                "host           a b c d e\n     f g h i j k l"},
           // A word wider than the room keeps a line of its own, whole.
           Case{"x 0123456789abcdef y", 10, 2, "x\n0123456789abcdef\ny"},
           // Escape sequences take no column.
           Case{"ab \x1b[33mwarning:\x1b[0m cd ef gh ij kl mn", 24, 2,
                "ab \x1b[33mwarning:\x1b[0m cd ef gh ij\n  kl mn"},
           Case{"one\n\ntwo three", 5, 0, "one\n\ntwo\nthree"},
           Case{"a step 5 %)", 9, 0, "a step\n5 %)"},
           Case{"  cv 0.67 % CV", 23, 6, "  cv 0.67 % CV"},
           Case{"  variation 25.88 % CV", 18, 0, "  variation\n25.88 % CV"},
       }) {
    EXPECT_EQ(wrap_words(c.text, c.width, c.indent), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace tarnwick
