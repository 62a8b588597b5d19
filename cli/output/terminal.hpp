// What the terminal can show: its width, whether it takes UTF-8, whether
// colour is wanted. Everything the program prints adapts to these, so that
// a line never wraps and nothing shows as mojibake or escape codes.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tarnwick {

enum class ColorChoice { automatic, always, never };

// The width in columns of the terminal `stream` writes to; 0 when it is not
// a terminal or does not say.
[[nodiscard]] int terminal_width(std::FILE* stream);

// Colour on `stream`: always, never, or (automatic) on a terminal unless
// NO_COLOR is set and not empty or TERM is "dumb".
[[nodiscard]] bool use_colour(ColorChoice choice, std::FILE* stream);

// True when TERM is "dumb": a terminal that knows the carriage return and no
// escape sequence, so it gets none (unless --color always asks for colour).
[[nodiscard]] bool dumb_terminal();

// How text is drawn for one stream.
struct TextStyle {
  bool utf8 = true;
  bool colour = false;
  int width = 80;  // columns a line may use
  // Lines of prose (the summary, warnings) fold at spaces to this many
  // columns; 0 leaves them whole, as off a terminal, where a log or grep
  // wants one warning on one line.
  int wrap = 0;
  bool escapes = true;  // may move the cursor and erase (not on TERM=dumb)

  // UTF-8 or the ASCII stand-in, e.g. pick("\u00b7", "-").
  [[nodiscard]] const char* pick(const char* unicode, const char* ascii) const {
    return utf8 ? unicode : ascii;
  }
  [[nodiscard]] std::string good(std::string_view text) const { return paint(text, "32"); }
  [[nodiscard]] std::string bad(std::string_view text) const { return paint(text, "1;31"); }
  [[nodiscard]] std::string caution(std::string_view text) const { return paint(text, "33"); }

 private:
  [[nodiscard]] std::string paint(std::string_view text, std::string_view sgr) const;
};

// The style for `stream`: its width (80 off a terminal, where nothing
// wraps), the locale's charset and the colour choice.
[[nodiscard]] TextStyle style_for(std::FILE* stream, ColorChoice choice);

}  // namespace tarnwick
