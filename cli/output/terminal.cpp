#include "output/terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace tarnwick {

int terminal_width(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool utf8_locale() {
  static const bool utf8 = [] {
    // The first of these that is set decides, as in setlocale.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = std::getenv(name);
      if (value == nullptr || *value == '\0') continue;
      std::string text(value);
      std::transform(text.begin(), text.end(), text.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return text.find("utf-8") != std::string::npos || text.find("utf8") != std::string::npos;
    }
    return false;
  }();
  return utf8;
}

bool use_colour(ColorChoice choice, std::FILE* stream) {
  if (choice != ColorChoice::automatic) return choice == ColorChoice::always;
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && *no_colour != '\0') return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::string_view(term) == "dumb") return false;
  return isatty(fileno(stream)) == 1;
}

std::string TextStyle::paint(std::string_view text, std::string_view sgr) const {
  if (!colour) return std::string(text);
  return "\x1b[" + std::string(sgr) + "m" + std::string(text) + "\x1b[0m";
}

TextStyle style_for(std::FILE* stream, ColorChoice choice) {
  TextStyle style;
  style.utf8 = utf8_locale();
  style.colour = use_colour(choice, stream);
  const int width = terminal_width(stream);
  style.width = width > 0 ? width : 80;
  return style;
}

int display_width(std::string_view text) {
  int columns = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == 0x1b) {
      // CSI: ESC [ parameters final-byte
      for (++i; i < text.size() && !(text[i] >= '@' && text[i] <= '~' && text[i] != '['); ++i) {
      }
      continue;
    }
    if ((byte & 0xC0) != 0x80) ++columns;
  }
  return columns;
}

}  // namespace tarnwick
