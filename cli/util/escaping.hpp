// How text from documents is made safe to show, beyond printable() itself
// (util/text): the character set it goes out in, and CSV cells.
//
// printable() shows control characters and bytes that are not UTF-8 as
// "\xNN", and shows by number ("<U+202E>") the characters that are invisible
// or reorder what follows them, so that "\u202e10edon" cannot pass for
// "node01": the bidi controls U+202A..U+202E, U+2066..U+2069, U+200E, U+200F
// and U+061C; the zero-width U+200B..U+200D, U+2060 and U+FEFF; and the line
// and paragraph separators U+2028 and U+2029.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// Whether text goes out as UTF-8 (the default), or as ASCII because the
// locale's character set is another: then printable() shows every character
// beyond ASCII by number, and no byte of one (0x9B in U+201B, the CSI of
// 8-bit terminals) reaches a terminal. The program asks once, at its start.
void set_utf8_output(bool utf8);
[[nodiscard]] bool utf8_output();

// One CSV cell: `text` printable, quoted when it holds a comma or a quote,
// and neutralised as spreadsheets document when they would take it for a
// formula (it starts with '=', '+', '-', '@', a tab or a carriage return): a
// leading "'". A number ("-1.5") is left as it is.
[[nodiscard]] std::string csv_cell(std::string_view text);

}  // namespace tarnwick
