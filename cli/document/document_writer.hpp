// The pieces of JSON text the reader keeps and writes back: quoted strings
// and numbers in their one text.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick::reading {

// Appends `text` as a JSON string: quotes, backslashes and control
// characters escaped, every other byte as it is.
void append_quoted(std::string& out, std::string_view text);

// The one text of a number in written documents: the shortest that reads
// back as the same double.
[[nodiscard]] std::string number_text(double value);

}  // namespace tarnwick::reading
