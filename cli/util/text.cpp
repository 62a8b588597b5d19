#include "util/text.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>

#include "util/escaping.hpp"
#include "util/numbers.hpp"

namespace tarnwick {
namespace {

std::atomic<bool> utf8_text{true};

// Characters that show nothing themselves but hide, join or reorder what is
// around them: "\u202e10edon" reads as "node01".
bool invisible(char32_t c) {
  return c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
         c == 0x2060 || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// The code point of the well-formed sequence of `length` bytes at `at`.
char32_t code_point(std::string_view text, std::size_t at, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  if (length == 1) return byte(0);
  auto c = static_cast<char32_t>(byte(0) & (0x7Fu >> length));
  for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (byte(i) & 0x3Fu);
  return c;
}

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t sequence_length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned int low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!continuation(static_cast<unsigned char>(text[at + i]))) return 0;
  }
  return length;
}

}  // namespace

void set_utf8_output(bool utf8) { utf8_text.store(utf8); }

bool utf8_output() { return utf8_text.load(); }

std::string printable(std::string_view text) {
  const bool ascii_only = !utf8_output();
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = sequence_length(text, at);
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    if (length == 0 || byte < 0x20 || byte == 0x7F) {
      shown += fmt::format("\\x{:02X}", byte);
      ++at;
    } else if (c1) {
      shown += fmt::format("\\x{:02X}", static_cast<unsigned char>(text[at + 1]));
      at += 2;
    } else if (const char32_t c = code_point(text, at, length);
               length > 1 && (ascii_only || invisible(c))) {
      shown += fmt::format("<U+{:04X}>", static_cast<uint32_t>(c));
      at += length;
    } else {
      shown.append(text.substr(at, length));
      at += length;
    }
  }
  return shown;
}

std::string csv_cell(std::string_view text) {
  std::string cell = printable(text);
  const bool number = parse_number(cell).has_value() &&
                      cell.find_first_not_of("0123456789.eE+-") == std::string::npos;
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos &&
      !number) {
    cell.insert(0, "'");
  }
  if (cell.find_first_of(",\"") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (const char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::size_t characters(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if (!continuation(static_cast<unsigned char>(c))) ++count;
  }
  return count;
}

std::string first_characters(std::string_view text, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t seen = 0; at < text.size(); ++at) {
    if (!continuation(static_cast<unsigned char>(text[at])) && seen++ == count) break;
  }
  return std::string(text.substr(0, at));
}

std::string last_characters(std::string_view text, std::size_t count) {
  const std::size_t total = characters(text);
  if (count >= total) return std::string(text);
  const std::string head = first_characters(text, total - count);
  return std::string(text.substr(head.size()));
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
    if (!continuation(byte)) ++columns;
  }
  return columns;
}

namespace {

// Below this many columns of room, a continuation gives up its indent.
constexpr int MIN_ROOM = 20;

bool unit(std::string_view word) {
  const auto punctuation = [word] { return word.size() == 1 || word[1] == ',' || word[1] == ')'; };
  return word.front() == '%' || (word.front() == 's' && punctuation());
}

void trim_end(std::string& text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
}

void wrap_line(std::string_view line, int width, int indent, std::string& out) {
  if (display_width(line) <= width) {
    out.append(line);
    return;
  }
  indent = std::clamp(std::min(indent, width - MIN_ROOM), 0, indent);
  const std::string margin(static_cast<std::size_t>(indent), ' ');
  // Words with the blanks before them, so the first line keeps its layout.
  std::size_t at = line.find_first_not_of(' ');
  std::string current(line.substr(0, at));
  std::size_t words_here = 0;  // words on the line being built
  std::size_t last_word = 0;   // where the last of them starts in it
  while (at != std::string_view::npos && at < line.size()) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    const std::string_view word = line.substr(at, end - at);
    const std::size_t next = line.find_first_not_of(' ', end);
    if (words_here > 0 && display_width(current) + display_width(word) > width) {
      // "5 %" and "1.3 s" stay together: the number goes down with its unit.
      std::string carried;
      if (unit(word) && words_here > 1) {
        carried = current.substr(last_word);
        current.resize(last_word);
      }
      trim_end(current);
      out += current;
      out += '\n';
      current = margin + carried;
      words_here = carried.empty() ? 0 : 1;
    }
    last_word = current.size();
    current.append(word);
    ++words_here;
    // The blanks after a word count only if another word follows them.
    if (next != std::string_view::npos) current.append(line.substr(end, next - end));
    at = next;
  }
  trim_end(current);
  out += current;
}

}  // namespace

std::string wrap_words(std::string_view text, int width, int indent) {
  if (width <= 0) return std::string(text);
  std::string wrapped;
  wrapped.reserve(text.size() + text.size() / 8);
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    wrap_line(text.substr(start, end - start), width, indent, wrapped);
    if (end == text.size()) break;
    wrapped += '\n';
    start = end + 1;
  }
  return wrapped;
}

std::string listed(const std::vector<std::string>& items, std::string_view last) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? fmt::format(" {} ", last) : ", ";
    text += items[i];
  }
  return text;
}

}  // namespace tarnwick
