#include "output/terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "util/escaping.hpp"

namespace tarnwick {

int terminal_width(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool use_colour(ColorChoice choice, std::FILE* stream) {
  if (choice != ColorChoice::automatic) return choice == ColorChoice::always;
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && *no_colour != '\0') return false;
  if (dumb_terminal()) return false;
  return isatty(fileno(stream)) == 1;
}

bool dumb_terminal() {
  const char* term = std::getenv("TERM");
  return term != nullptr && std::string_view(term) == "dumb";
}

std::string TextStyle::paint(std::string_view text, std::string_view sgr) const {
  if (!colour) return std::string(text);
  return "\x1b[" + std::string(sgr) + "m" + std::string(text) + "\x1b[0m";
}

TextStyle style_for(std::FILE* stream, ColorChoice choice) {
  TextStyle style;
  style.utf8 = utf8_output();
  style.colour = use_colour(choice, stream);
  style.escapes = !dumb_terminal();
  const int width = terminal_width(stream);
  style.width = width > 0 ? width : 80;
  // The last column stays free: writing it makes some terminals wrap.
  style.wrap = width > 0 ? width - 1 : 0;
  return style;
}

}  // namespace tarnwick
