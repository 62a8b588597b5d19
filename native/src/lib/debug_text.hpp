#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// `text` between double quotes, escaped so that it reads back unambiguously on
// one line: a backslash before each double quote and backslash; tab, carriage
// return, line feed and NUL as \t, \r, \n and \0; any other non-printable code
// point as \u{hex}. Bytes that are not UTF-8 become U+FFFD.
[[nodiscard]] std::string quote_debug(std::string_view text);

}  // namespace tarnwick
