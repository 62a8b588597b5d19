// One self-contained HTML page: the program's charts and tables as a file
// that works offline in any current browser. The page carries everything it
// shows: its styles, the chart library (with its licence), the data as a
// JSON island and the small script that draws charts and tables from it.
// A Content-Security-Policy forbids every load from elsewhere, so a page
// that would reach the network fails in the browser instead of leaking.
//
// The program's code only prepares the data; drawing is the page script's.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tarnwick {

struct HtmlPage {
  std::string title;  // plain text; escaped here
  // Page-specific CSS, after the shared rules (pages share one look).
  std::string css;
  // The body's static markup (trusted: the page's own skeleton, no data).
  std::string body;
  // What the page shows, read by its script from the element `#data`.
  nlohmann::json data;
  // The page's own script; it runs after the library, once the document is
  // parsed, with `DATA` (the parsed data) and the helpers of shared.js.
  std::string script;
};

// The whole HTML document.
[[nodiscard]] std::string html_page(const HtmlPage& page);

// Figures for a page's data, rounded to what they carry: `decimals` places
// (negative: tens, hundreds...), or `digits` significant digits. The result
// is the double nearest the rounded decimal, which JSON writes without noise
// (166012.4, never 166012.40000000002); infinities and NaN pass through.
[[nodiscard]] double round_decimals(double value, int decimals);
[[nodiscard]] double round_significant(double value, int digits);

// `text` safe as HTML text or a quoted attribute value.
[[nodiscard]] std::string html_escape(std::string_view text);

// `data` as JSON that no string in it can end the <script> element holding
// it: '<', '>' and '&' and the line and paragraph separators (U+2028/9,
// which older script parsers take for line ends) are written as \u escapes.
// Bytes that are not UTF-8 become U+FFFD.
[[nodiscard]] std::string script_json(const nlohmann::json& data);

}  // namespace tarnwick
