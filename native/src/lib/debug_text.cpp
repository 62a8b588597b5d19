#include "debug_text.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tarnwick {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Decodes the code point at `at` and advances past it; a malformed or
// truncated sequence gives REPLACEMENT and advances by one byte.
char32_t decode_utf8(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2, cp = lead & 0x1Fu, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, cp = lead & 0x0Fu, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, cp = lead & 0x07u, min = 0x10000;
  } else {
    ++at;
    return REPLACEMENT;
  }
  if (text.size() - at < len) {
    ++at;
    return REPLACEMENT;
  }
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char next = byte(at + i);
    if ((next & 0xC0) != 0x80) {
      ++at;
      return REPLACEMENT;
    }
    cp = (cp << 6) | (next & 0x3Fu);
  }
  // Overlong forms, surrogates and values past the last plane are not text.
  if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    ++at;
    return REPLACEMENT;
  }
  at += len;
  return cp;
}

// Controls, invisible format and separator characters, private use and
// noncharacters: what would make a one-line rendering ambiguous.
bool is_printable(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
  if (cp == 0xAD || cp == 0x61C || cp == 0x180E || cp == 0xFEFF) return false;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E)) return false;
  if (cp >= 0x2060 && cp <= 0x206F) return false;
  if (cp >= 0xFFF9 && cp <= 0xFFFB) return false;
  if ((cp & 0xFFFE) == 0xFFFE || (cp >= 0xFDD0 && cp <= 0xFDEF)) return false;
  if ((cp >= 0xE000 && cp <= 0xF8FF) || cp >= 0xF0000) return false;
  if (cp >= 0xE0000 && cp <= 0xE007F) return false;
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  const auto put = [&](std::uint32_t bits) { out.push_back(static_cast<char>(bits)); };
  const auto c = static_cast<std::uint32_t>(cp);
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | (c >> 6));
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | (c >> 12));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  } else {
    put(0xF0 | (c >> 18));
    put(0x80 | ((c >> 12) & 0x3F));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string quote_debug(std::string_view text) {
  std::string out = "\"";
  std::size_t at = 0;
  while (at < text.size()) {
    const char32_t cp = decode_utf8(text, at);
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (is_printable(cp)) {
          append_utf8(out, cp);
        } else {
          char hex[16];
          std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
          out += hex;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace tarnwick
