#include "html/page.hpp"

#include "html/chart_library.hpp"

namespace tarnwick {
namespace {

// Only what the page itself carries: inline scripts and styles, data: images
// (a canvas saved by the user). No connection, frame or form anywhere.
constexpr std::string_view POLICY =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src data:; base-uri 'none'; form-action 'none'";

// The look every page shares: system fonts, readable widths, tables that
// scroll inside their box rather than the page.
constexpr std::string_view SHARED_CSS = R"css(
:root { color-scheme: light; --ink: #1d2430; --muted: #5b6575; --line: #d7dce3;
  --bad: #b3261e; --good: #1f7a3a; --warn: #a15c00; --panel: #f6f8fa; }
* { box-sizing: border-box; }
body { margin: 0; padding: 16px 24px; font: 14px/1.4 system-ui, sans-serif; color: var(--ink); }
h1 { font-size: 20px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 0 0 6px; }
.muted { color: var(--muted); }
.panel { border: 1px solid var(--line); border-radius: 6px; padding: 10px 12px; margin: 12px 0;
  background: #fff; }
.chart { position: relative; height: 260px; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 3px 8px; border-bottom: 1px solid var(--line); }
th { background: var(--panel); position: sticky; top: 0; cursor: pointer; user-select: none; }
td.number, th.number { text-align: right; font-variant-numeric: tabular-nums; }
.bad { color: var(--bad); font-weight: 600; }
.good { color: var(--good); font-weight: 600; }
.warn { color: var(--warn); }
.scroll { max-height: 480px; overflow: auto; }
input[type=search] { font: inherit; padding: 4px 8px; min-width: 260px; }
#page-error { display: none; color: var(--bad); border: 1px solid var(--bad); padding: 8px; }
)css";

// Helpers for the page scripts: the data, element building without HTML
// strings (data never becomes markup), and numbers as the terminal shows
// them. An error in the page's script is shown on the page, not only in a
// console nobody opens.
constexpr std::string_view SHARED_SCRIPT = R"js(
"use strict";
const DATA = JSON.parse(document.getElementById("data").textContent);
function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (name === "text") node.textContent = value;
    else if (name === "class") node.className = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value);
  }
  for (const child of children) {
    if (child !== null && child !== undefined)
      node.append(typeof child === "string" ? document.createTextNode(child) : child);
  }
  return node;
}
function formatRate(value) {
  if (value === null || value === undefined || !isFinite(value)) return "–";
  const units = [[1e12, "T"], [1e9, "G"], [1e6, "M"], [1e3, "k"]];
  for (const [scale, unit] of units)
    if (Math.abs(value) >= scale) return (value / scale).toPrecision(4) + " " + unit;
  return value.toPrecision(4);
}
function formatPercent(value, digits) {
  if (value === null || value === undefined || !isFinite(value)) return "–";
  return (value > 0 ? "+" : value < 0 ? "−" : "") + Math.abs(value).toFixed(digits ?? 1) + " %";
}
function showPageError(message) {
  const box = document.getElementById("page-error");
  box.textContent = "This page could not be drawn: " + message;
  box.style.display = "block";
}
window.addEventListener("error", (event) => showPageError(event.message));
)js";

void append_json_escaped(std::string& out, std::string_view json) {
  out.reserve(out.size() + json.size() + json.size() / 16);
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
}

}  // namespace

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

std::string script_json(const nlohmann::json& data) {
  // The characters escaped can only sit inside JSON strings, where a \u
  // escape means the same character.
  std::string out;
  append_json_escaped(out, data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  return out;
}

std::string html_page(const HtmlPage& page) {
  const std::string_view library = chart_library();
  std::string out;
  out.reserve(library.size() + 8192);
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += "<meta http-equiv=\"Content-Security-Policy\" content=\"";
  out += POLICY;
  out += "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<title>" + html_escape(page.title) + "</title>\n<style>";
  out += SHARED_CSS;
  out += page.css;
  out += "</style>\n</head>\n<body>\n<div id=\"page-error\" role=\"alert\"></div>\n";
  out += page.body;
  out += "\n<script type=\"application/json\" id=\"data\">";
  out += script_json(page.data);
  out +=
      "</script>\n<script>\n/* The chart library below is Chart.js, inlined from Debian's "
      "libjs-chart.js.\n";
  out += chart_library_licence();
  out += "*/\n";
  out += library;
  out += "\n</script>\n<script>";
  out += SHARED_SCRIPT;
  out += "try {\n";
  out += page.script;
  out += "\n} catch (error) { showPageError(error.message); throw error; }\n</script>\n";
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace tarnwick
