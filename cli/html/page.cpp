#include "html/page.hpp"

#include <cmath>

#include "html/chart_library.hpp"
#include "html/page_files.hpp"
#include "util/text.hpp"

namespace tarnwick {
namespace {

// Only what the page itself carries: inline scripts and styles, data: images
// (a canvas saved by the user). No connection, frame or form anywhere.
constexpr std::string_view POLICY =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src data:; base-uri 'none'; form-action 'none'";

// Every string of the data as the terminal shows document text: nothing
// invisible or reordering reaches the page ("\u202e10edon" is not "node01").
nlohmann::json shown(const nlohmann::json& data) {
  if (data.is_string()) return printable(data.get_ref<const std::string&>());
  if (!data.is_structured()) return data;
  nlohmann::json copy = data;
  for (nlohmann::json& item : copy) item = shown(item);
  return copy;
}

}  // namespace

std::string script_json(const nlohmann::json& data) {
  // The characters escaped can only sit inside JSON strings, where a \u
  // escape means the same character.
  const std::string json = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(json.size() + json.size() / 16);
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (c == '\xe2' && i + 2 < json.size() && json[i + 1] == '\x80' &&
               (json[i + 2] == '\xa8' || json[i + 2] == '\xa9')) {
      out += json[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

double round_decimals(double value, int decimals) {
  if (!std::isfinite(value)) return value;
  // A power of ten up to 10^22 is exact; dividing (or multiplying) a whole
  // number by it rounds once, to the nearest double.
  const double power = std::pow(10.0, std::abs(decimals));
  return decimals >= 0 ? std::round(value * power) / power : std::round(value / power) * power;
}

double round_significant(double value, int digits) {
  if (value == 0.0 || !std::isfinite(value)) return value;
  return round_decimals(value,
                        digits - 1 - static_cast<int>(std::floor(std::log10(std::fabs(value)))));
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string html_page(const HtmlPage& page) {
  const std::string_view library = chart_library();
  std::string out;
  out.reserve(library.size() + 8192);
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += R"(<meta http-equiv="Content-Security-Policy" content=")";
  out += POLICY;
  out += "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<title>" + html_escape(page.title) + "</title>\n<style>";
  out += html::page_files::shared_css();
  out += page.css;
  out += "</style>\n</head>\n<body>\n<div id=\"page-error\" role=\"alert\"></div>\n";
  out += page.body;
  out += "\n<script type=\"application/json\" id=\"data\">";
  out += script_json(shown(page.data));
  out +=
      "</script>\n<script>\n/* The chart library below is Chart.js, inlined from Debian's "
      "libjs-chart.js.\n";
  out += chart_library_licence();
  out += "*/\n";
  out += library;
  out += "\n</script>\n<script>";
  out += html::page_files::shared_js();
  out += "try {\n";
  out += page.script;
  out += "\n} catch (error) { showPageError(error.message); throw error; }\n</script>\n";
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace tarnwick
