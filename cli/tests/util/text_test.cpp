#include "util/text.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "util/escaping.hpp"

namespace tarnwick {
namespace {

TEST(Printable, ShowsControlsAndBrokenBytesAndKeepsCharactersWhole) {
  const std::pair<std::string, std::string> cases[] = {
      {"node01", "node01"},
      {"h\xC3\xA9te \xE4\xB8\xBB", "h\xC3\xA9te \xE4\xB8\xBB"},  // é and 主 kept
      {"a\x1B]0;t\x07"
       "b\n",
       R"(a\x1B]0;t\x07b\x0A)"},
      {"del\x7F c1\xC2\x9B", "del\\x7F c1\\x9B"},
      {"cut\xE4\xB8", "cut\\xE4\\xB8"},                       // a character cut short
      {"\xC0\xAF \xED\xA0\x80", R"(\xC0\xAF \xED\xA0\x80)"},  // overlong, surrogate
  };
  for (const auto& [raw, shown] : cases) EXPECT_EQ(printable(raw), shown) << raw;
  const std::string wide = "\xC3\xA9\xC3\xA9x\xE4\xB8\xBB";  // ééx主
  EXPECT_EQ(characters(wide), 4u);
  EXPECT_EQ(first_characters(wide, 3), "\xC3\xA9\xC3\xA9x");
  EXPECT_EQ(last_characters(wide, 1), "\xE4\xB8\xBB");
  EXPECT_EQ(last_characters(wide, 9), wide);
}

TEST(Printable, ShowsInvisibleAndReorderingCharactersByTheirNumber) {
  const std::pair<std::string, std::string> cases[] = {
      {"\u202e10edon", "<U+202E>10edon"},
      {"a\u200bb\u200cc\u200dd\u2060e\ufeff", "a<U+200B>b<U+200C>c<U+200D>d<U+2060>e<U+FEFF>"},
      {"\u202a\u202b\u202c\u202d", "<U+202A><U+202B><U+202C><U+202D>"},
      {"\u2066\u2067\u2068\u2069", "<U+2066><U+2067><U+2068><U+2069>"},
      {"\u200e\u200f\u061c", "<U+200E><U+200F><U+061C>"},
      {"line\u2028para\u2029", "line<U+2028>para<U+2029>"},
      // Their neighbours are ordinary characters.
      {"\u2027\u202f\u2065\u206a\u200a", "\u2027\u202f\u2065\u206a\u200a"},
  };
  for (const auto& [raw, shown] : cases) EXPECT_EQ(printable(raw), shown) << raw;
  // Outside UTF-8 every character beyond ASCII is a number, and no byte of
  // one (0x9B in U+201B) gets through.
  set_utf8_output(false);
  const std::string ascii = printable("n\u201bode h\u00f4te \U0001F600");
  const std::string plain = printable("plain");
  const std::string c1 = printable("\xC2\x9B");
  set_utf8_output(true);
  EXPECT_EQ(ascii, "n<U+201B>ode h<U+00F4>te <U+1F600>");
  EXPECT_EQ(plain, "plain");
  EXPECT_EQ(c1, "\\x9B");
  EXPECT_EQ(printable("h\u00f4te"), "h\u00f4te");
}

TEST(CsvCell, NeutralisesFormulasQuotesAndKeepsNumbers) {
  const std::pair<std::string, std::string> cases[] = {
      {"node01", "node01"},
      {"=1+1", "'=1+1"},
      {"@SUM(1+1)", "'@SUM(1+1)"},
      {"+cmd", "'+cmd"},
      {"-2+3", "'-2+3"},
      {"\t=1", "'\\x09=1"},
      {"\r=1", "'\\x0D=1"},
      {R"(=HYPERLINK("http://x","y"))", R"lit("'=HYPERLINK(""http://x"",""y"")")lit"},
      {"a,b", "\"a,b\""},
      {"-1.5", "-1.5"},
      {"+3", "+3"},
      {"-1e-3", "-1e-3"},
      {"", ""},
      {"\u202e10edon", "<U+202E>10edon"},
  };
  for (const auto& [raw, cell] : cases) EXPECT_EQ(csv_cell(raw), cell) << raw;
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

TEST(Plural, AgreesWithTheCountAndGroupsItsDigits) {
  struct Case {
    long long count;
    const char* one;
    const char* many;
    std::string expected;
  };
  for (const Case& c : {
           Case{0, "run", "", "0 runs"},
           Case{1, "run", "", "1 run"},
           Case{2, "run", "", "2 runs"},
           Case{999, "worker", "", "999 workers"},
           Case{1000, "run", "", "1,000 runs"},
           Case{1234567, "completed run", "", "1,234,567 completed runs"},
           Case{1, "series", "series", "1 series"},
           Case{1001, "series", "series", "1,001 series"},
           Case{-1, "second", "", "-1 seconds"},
       }) {
    EXPECT_EQ(plural(c.count, c.one, c.many), c.expected) << c.count << ' ' << c.one;
  }
  EXPECT_EQ(plural(std::size_t{1}, "shift"), "1 shift");
  EXPECT_EQ(plural(4096U, "CPU"), "4,096 CPUs");
}

TEST(Listed, JoinsItemsAsASentenceDoes) {
  using Items = std::vector<std::string>;
  EXPECT_EQ(listed(Items{}), "");
  EXPECT_EQ(listed(Items{"a"}), "a");
  EXPECT_EQ(listed(Items{"a", "b"}), "a and b");
  EXPECT_EQ(listed(Items{"auto", "always", "never"}, "or"), "auto, always or never");
  EXPECT_EQ(listed(Items{"1", "2", "", "5"}), "1, 2,  and 5");
}

}  // namespace
}  // namespace tarnwick
