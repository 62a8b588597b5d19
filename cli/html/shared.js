// What every page's script shares: the data, element building without HTML
// strings (data never becomes markup), and numbers as the terminal shows
// them. An error in the page's script is shown on the page, not only in a
// console nobody opens. The page's own script runs after this one, inside
// a try block (html/page.cpp).
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
