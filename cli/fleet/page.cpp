#include "fleet/page.hpp"

#include <fmt/format.h>

#include "fleet/outputs.hpp"
#include "html/page.hpp"

namespace tarnwick::fleet {
namespace {

using Json = nlohmann::json;

// Figures rounded to what a person reads: the page's size is mostly these.
double rounded(double value, double step) { return std::round(value / step) * step; }

constexpr std::string_view BODY = R"html(
<header>
  <h1>tarnwick report</h1>
  <p id="summary" class="muted"></p>
</header>
<section class="panel" id="flagged-panel" aria-labelledby="flagged-title">
  <h2 id="flagged-title">Flagged hosts</h2>
  <p class="muted">Robust z beyond ±3.5 against the median of the host's group (same CPU model,
  architecture, label, workers and library).</p>
  <ul id="flagged"></ul>
</section>
<section class="panel" id="notes-panel" hidden>
  <h2>Notes</h2>
  <ul id="notes"></ul>
</section>
<section id="host-panel" class="panel" hidden aria-live="polite">
  <h2 id="host-title"></h2>
  <div id="host-figures"></div>
  <div class="chart small"><canvas id="host-chart"></canvas></div>
  <div class="scroll short"><table id="host-runs"><thead><tr><th>started (UTC)</th>
  <th class="number">steps/s</th><th class="number">CV</th><th>unstable</th><th>in the figure</th>
  </tr></thead><tbody></tbody></table></div>
</section>
<section class="panel">
  <h2>Groups</h2>
  <p class="muted">Each dot is one host's figure (the median of its runs kept); the box holds
  the middle half of the group, the bar is its median. Groups with flagged hosts come first.</p>
  <div id="groups"></div>
</section>
<section class="panel">
  <h2>Hosts</h2>
  <div class="filters">
    <input type="search" id="filter" placeholder="Filter: host, model, label, flag…"
           aria-label="Filter the hosts by name, model, label or flag">
    <select id="flag-filter" aria-label="Show only">
      <option value="">every host</option><option value="flagged">flagged</option>
      <option value="slow">slow</option><option value="fast">fast</option>
      <option value="unstable">unstable runs</option>
    </select>
    <span id="shown" class="muted"></span>
  </div>
  <div class="scroll"><table id="hosts"><thead><tr></tr></thead><tbody></tbody></table></div>
</section>
<section class="panel" id="left-out-panel" hidden>
  <h2>Left out</h2>
  <ul id="left-out"></ul>
</section>
)html";

constexpr std::string_view CSS = R"css(
header p { margin: 0 0 4px; }
#flagged { margin: 4px 0; padding-left: 20px; columns: 2 420px; }
#flagged li { margin: 2px 0; break-inside: avoid; }
.host-link { color: inherit; text-decoration: underline dotted; cursor: pointer; background: none;
  border: 0; padding: 0; font: inherit; }
.group { border-top: 1px solid var(--line); padding: 6px 0; }
.group h3 { font-size: 14px; margin: 0; }
.group p { margin: 2px 0; }
.group .flags { margin: 2px 0; }
.group .chart { height: 84px; }
.chart.small { height: 180px; }
.scroll.short { max-height: 200px; }
.filters { display: flex; gap: 10px; align-items: center; margin-bottom: 6px; }
#hosts tbody tr { cursor: pointer; }
#hosts tbody tr:hover { background: #eef3fb; }
#hosts tbody tr.chosen { background: #dde8f8; }
th[aria-sort=ascending]::after { content: " ▲"; }
th[aria-sort=descending]::after { content: " ▼"; }
)css";

// The page's script: groups' strips drawn when they scroll into view (a
// fleet of a thousand groups opens at once), one table of every host with
// a filter and sorting, and a host's runs when it is chosen.
constexpr std::string_view SCRIPT = R"js(
const G = DATA.groups;
const COLUMNS = ["host", "model", "arch", "label", "workers", "steps/s", "vs median", "z", "CV",
                 "flag", "runs"];
const NUMERIC = new Set([4, 5, 6, 7, 8, 10]);
// One row per host and group: [host, group, rate, deviation, z, flag, cv, unstable, runs, file]
const ROWS = DATA.rows;
const plural = (n, word) => n + " " + word + (n === 1 ? "" : "s");
const groupTitle = (g) => g.model + " · " + g.arch + " · " + g.label + ", " +
  plural(g.threads, "worker") + " · library " + g.library;
const hostName = (row) => row[0] + (row[9] ? " *" : "");
const flagText = (row) => row[5] + ", z " + formatNumber(row[4], 1) + ", " +
  formatPercent(row[3], 1);
function formatNumber(value, digits) {
  if (value === null || value === undefined) return "–";
  return (value > 0 ? "+" : value < 0 ? "−" : "") + Math.abs(value).toFixed(digits);
}
function hostButton(row) {
  return el("button", {class: "host-link " + (row[5] === "slow" ? "bad" : row[5] ? "good" : ""),
                       text: hostName(row), onclick: () => chooseHost(row[0], row[9])});
}

// Summary and notes.
document.getElementById("summary").textContent = plural(DATA.hosts, "host") + ", " +
  plural(DATA.documents, "document") + ", " + plural(G.length, "group") + ", " +
  plural(DATA.flagged.length, "flagged host") + (DATA.since ? " · runs since " + DATA.since : "");
const notes = [...DATA.notes];
if (DATA.repeated_runs > 0)
  notes.push(plural(DATA.repeated_runs, "run") + " read more than once (paths that overlap, " +
             "or copies): counted once");
if (DATA.hosts_before_since.length > 0)
  notes.push(plural(DATA.hosts_before_since.length, "host") + " left out by --since " +
             DATA.since + " (every run older): " + DATA.hosts_before_since.join(", "));
if (ROWS.some((row) => row[9]))
  notes.push("* no host name in the document (0.0.2): the host is the file's name");
if (notes.length > 0) {
  document.getElementById("notes-panel").hidden = false;
  document.getElementById("notes").append(...notes.map((text) => el("li", {text})));
}
if (DATA.left_out.length > 0) {
  document.getElementById("left-out-panel").hidden = false;
  document.getElementById("left-out").append(
    ...DATA.left_out.map(([path, reason]) => el("li", {text: path + ": " + reason})));
}

// The flagged hosts, slowest first, named in text.
const flaggedList = document.getElementById("flagged");
if (DATA.flagged.length === 0) flaggedList.append(el("li", {text: "none"}));
for (const index of DATA.flagged) {
  const row = ROWS[index];
  flaggedList.append(el("li", {class: "flagged-host"}, hostButton(row), " " + flagText(row) +
                        " · " + formatRate(row[2]) + " steps/s · " + groupTitle(G[row[1]])));
}

// Groups: heading and flagged names as text; the strip drawn when seen.
const groupsBox = document.getElementById("groups");
const membersOf = G.map(() => []);
ROWS.forEach((row, index) => membersOf[row[1]].push(index));
const groupOrder = G.map((_, index) => index);
const flaggedIn = G.map((_, g) => membersOf[g].filter((i) => ROWS[i][5]).length);
groupOrder.sort((a, b) => (flaggedIn[b] > 0) - (flaggedIn[a] > 0) ||
                     membersOf[b].length - membersOf[a].length || a - b);
const drawLater = new Map();
const observer = "IntersectionObserver" in window ? new IntersectionObserver((entries) => {
  for (const entry of entries) {
    if (!entry.isIntersecting || !drawLater.has(entry.target)) continue;
    drawLater.get(entry.target)();
    drawLater.delete(entry.target);
    observer.unobserve(entry.target);
  }
}, {rootMargin: "200px"}) : null;
for (const g of groupOrder) {
  const group = G[g];
  const flagged = membersOf[g].filter((i) => ROWS[i][5]);
  const canvas = el("canvas", {"aria-label": "rates of the hosts of " + groupTitle(group)});
  const chartBox = el("div", {class: "chart"}, canvas);
  const flags = el("p", {class: "flags"});
  if (flagged.length > 0) {
    flags.append("Flagged: ");
    flagged.forEach((i, at) => {
      if (at > 0) flags.append("; ");
      flags.append(hostButton(ROWS[i]), " " + flagText(ROWS[i]));
    });
  } else {
    flags.className = "flags muted";
    flags.textContent = group.no_flags_reason ? "Not judged: " + group.no_flags_reason
                                              : "No host flagged.";
  }
  groupsBox.append(el("div", {class: "group"},
    el("h3", {text: groupTitle(group)}),
    el("p", {class: "muted", text: plural(membersOf[g].length, "host") + " · median " +
             formatRate(group.median) + " steps/s · MAD " + formatRate(group.mad) + " (" +
             (group.median > 0 ? (group.mad / group.median * 100).toFixed(2) : "0") + " %)"}),
    flags, chartBox));
  const draw = () => drawGroup(canvas, group, membersOf[g]);
  if (observer) { drawLater.set(chartBox, draw); observer.observe(chartBox); } else draw();
}

function quantile(sorted, q) {
  const at = q * (sorted.length - 1), below = Math.floor(at);
  const above = Math.min(below + 1, sorted.length - 1);
  return sorted[below] + (sorted[above] - sorted[below]) * (at - below);
}
function drawGroup(canvas, group, members) {
  const colour = (row) => row[5] === "slow" ? "#b3261e" : row[5] === "fast" ? "#1f7a3a"
                                                                            : "rgba(31,95,168,0.5)";
  const points = members.map((i, at) => ({x: ROWS[i][2], y: ((at * 0.6180339887) % 1) - 0.5,
                                          row: ROWS[i]}));
  const rates = members.map((i) => ROWS[i][2]).sort((a, b) => a - b);
  const box = rates.length >= 3 ? [quantile(rates, 0.25), quantile(rates, 0.5),
                                   quantile(rates, 0.75)] : null;
  const boxPlugin = {id: "box", afterDatasetsDraw(chart) {
    if (!box) return;
    const {ctx, chartArea, scales} = chart;
    const [left, middle, right] = box.map((v) => scales.x.getPixelForValue(v));
    const top = scales.y.getPixelForValue(0.62), bottom = scales.y.getPixelForValue(-0.62);
    ctx.save();
    ctx.strokeStyle = "#222"; ctx.lineWidth = 1.2;
    ctx.strokeRect(left, top, Math.max(1, right - left), bottom - top);
    ctx.lineWidth = 2.5;
    ctx.beginPath(); ctx.moveTo(middle, top); ctx.lineTo(middle, bottom); ctx.stroke();
    ctx.restore();
  }};
  const chart = new Chart(canvas, {
    type: "scatter",
    data: {datasets: [{data: points, pointRadius: (c) => c.raw && c.raw.row[5] ? 5 : 3,
                       pointBackgroundColor: (c) => c.raw ? colour(c.raw.row) : "#888",
                       pointBorderWidth: 0}]},
    options: {animation: false, maintainAspectRatio: false, parsing: false,
      plugins: {legend: {display: false},
                tooltip: {callbacks: {label: (c) => hostName(c.raw.row) + ": " +
                  formatRate(c.raw.row[2]) + " steps/s, " + formatPercent(c.raw.row[3], 2) +
                  (c.raw.row[5] ? " (" + c.raw.row[5] + ")" : "")}}},
      scales: {y: {display: false, min: -0.75, max: 0.75},
               x: {title: {display: true, text: "steps/s"},
                   ticks: {callback: (value) => formatRate(value)}}},
      onClick: (event, elements) => {
        if (elements.length > 0) {
          const row = points[elements[0].index].row;
          chooseHost(row[0], row[9]);
        }
      }},
    plugins: [boxPlugin]});
  return chart;
}

// The table of every host. Only the rows in view are built: a first screenful,
// then more as the table scrolls, so 2,000 hosts open as fast as 20.
const CHUNK = 150;
const table = document.getElementById("hosts");
const tbody = table.tBodies[0];
const scrollBox = table.parentElement;
const headRow = table.tHead.rows[0];
COLUMNS.forEach((name, column) => headRow.append(
  el("th", {class: NUMERIC.has(column) ? "number" : "", text: name, scope: "col",
            onclick: () => sortBy(column)})));
const cellsOf = (row) => {
  const g = G[row[1]];
  return [hostName(row), g.model, g.arch, g.label, String(g.threads), formatRate(row[2]),
          formatPercent(row[3], 2), formatNumber(row[4], 2),
          row[6] === null ? "n/a" : row[6].toFixed(2) + " %",
          row[5] + (row[7] ? (row[5] ? ", " : "") + "unstable" : ""), String(row[8])];
};
const sortValue = (row, column) => {
  const g = G[row[1]];
  return [row[0], g.model, g.arch, g.label, g.threads, row[2], row[3], row[4], row[6],
          row[5] || (row[7] ? "unstable" : ""), row[8]][column];
};
const searchKeys = ROWS.map((row) => [row[0], G[row[1]].model, G[row[1]].arch, G[row[1]].label,
                                      row[5], row[7] ? "unstable" : ""].join("\n").toLowerCase());
const trs = new Map();  // built rows, by row number
const chosenRows = new Set();
function rowElement(index) {
  let tr = trs.get(index);
  if (tr) return tr;
  const row = ROWS[index];
  tr = document.createElement("tr");
  cellsOf(row).forEach((text, column) => {
    const td = document.createElement("td");
    td.textContent = text;
    if (NUMERIC.has(column)) td.className = "number";
    if (column === 9 && row[5]) td.className = row[5] === "slow" ? "bad" : "good";
    tr.append(td);
  });
  tr.addEventListener("click", () => chooseHost(row[0], row[9]));
  if (chosenRows.has(index)) tr.classList.add("chosen");
  trs.set(index, tr);
  return tr;
}

const filterInput = document.getElementById("filter");
const flagFilter = document.getElementById("flag-filter");
const shown = document.getElementById("shown");
let order = ROWS.map((_, index) => index);  // sorted
let view = [];                              // sorted and filtered
let built = 0;                              // rows of the view in the table
function buildMore() {
  const fragment = document.createDocumentFragment();
  const end = Math.min(view.length, built + CHUNK);
  for (; built < end; ++built) fragment.append(rowElement(view[built]));
  tbody.append(fragment);
}
function refresh() {
  const terms = filterInput.value.toLowerCase().split(/\s+/).filter(Boolean);
  const flag = flagFilter.value;
  view = order.filter((index) => {
    const row = ROWS[index];
    return terms.every((term) => searchKeys[index].includes(term)) &&
      (flag === "" || (flag === "flagged" ? row[5] !== "" : flag === "unstable" ? row[7] === 1
                                                                                 : row[5] === flag));
  });
  tbody.replaceChildren();
  built = 0;
  buildMore();
  scrollBox.scrollTop = 0;
  shown.textContent = view.length + " of " + plural(ROWS.length, "row");
}
scrollBox.addEventListener("scroll", () => {
  if (scrollBox.scrollTop + scrollBox.clientHeight > scrollBox.scrollHeight - 400) buildMore();
});
filterInput.addEventListener("input", refresh);
flagFilter.addEventListener("change", refresh);

let sorted = {column: -1, ascending: true};
function sortBy(column) {
  sorted = {column, ascending: sorted.column === column ? !sorted.ascending : true};
  const direction = sorted.ascending ? 1 : -1;
  order = ROWS.map((_, index) => index);
  order.sort((a, b) => {
    const x = sortValue(ROWS[a], column), y = sortValue(ROWS[b], column);
    if (x === y) return a - b;
    if (x === null) return 1;
    if (y === null) return -1;
    return (typeof x === "number" ? x - y : String(x).localeCompare(String(y))) * direction;
  });
  [...headRow.cells].forEach((th, at) => th.setAttribute("aria-sort",
    at === column ? (sorted.ascending ? "ascending" : "descending") : "none"));
  refresh();
}
sortBy(6);

// A host chosen: its figure in each group and every run it has.
const PALETTE = ["#1f5fa8", "#a15c00", "#6b3fa0", "#1f7a3a", "#b3261e"];
let hostChart = null;
function chooseHost(name, fromFile) {
  const rows = ROWS.map((row, index) => [row, index])
                   .filter(([row]) => row[0] === name && row[9] === fromFile);
  if (rows.length === 0) return;
  for (const index of chosenRows) trs.get(index)?.classList.remove("chosen");
  chosenRows.clear();
  rows.forEach(([, index]) => {
    chosenRows.add(index);
    trs.get(index)?.classList.add("chosen");
  });
  const panel = document.getElementById("host-panel");
  panel.hidden = false;
  document.getElementById("host-title").textContent = "Host " + hostName(rows[0][0]);
  const figures = document.getElementById("host-figures");
  figures.replaceChildren(...rows.map(([row]) => el("p", {text: groupTitle(G[row[1]]) + ": " +
    formatRate(row[2]) + " steps/s, " + formatPercent(row[3], 2) + " against the group" +
    (row[5] ? " · " + flagText(row) : "") + (row[7] ? " · unstable runs" : "")})));
  const runs = [];
  rows.forEach(([, index]) => DATA.runs[index].forEach((run) => runs.push([index, ...run])));
  runs.sort((a, b) => a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0);
  const runRows = document.getElementById("host-runs").tBodies[0];
  runRows.replaceChildren(...runs.map(([, time, rate, cv, unstable, counted]) => el("tr", {},
    el("td", {text: time}), el("td", {class: "number", text: formatRate(rate)}),
    el("td", {class: "number", text: cv === null ? "n/a" : cv.toFixed(2) + " %"}),
    el("td", {class: unstable ? "warn" : "", text: unstable ? "unstable" : ""}),
    el("td", {text: counted ? "yes" : "no (older)"}))));
  if (hostChart) hostChart.destroy();
  hostChart = new Chart(document.getElementById("host-chart"), {
    type: "line",
    data: {datasets: rows.map(([row, index], at) => ({
      label: G[row[1]].label + ", " + plural(G[row[1]].threads, "worker"),
      data: DATA.runs[index].map(([time, rate, , unstable]) =>
        ({x: Date.parse(time), y: rate, unstable})),
      borderColor: PALETTE[at % PALETTE.length], backgroundColor: PALETTE[at % PALETTE.length],
      pointRadius: 4, pointStyle: (c) => c.raw && c.raw.unstable ? "crossRot" : "circle"}))},
    options: {animation: false, maintainAspectRatio: false, parsing: false,
      scales: {x: {type: "linear", ticks: {callback: (v) => new Date(v).toISOString()
                                                              .slice(0, 16).replace("T", " ")}},
               y: {title: {display: true, text: "steps/s"},
                   ticks: {callback: (value) => formatRate(value)}}},
      plugins: {tooltip: {callbacks: {title: (items) => items.length ?
        new Date(items[0].raw.x).toISOString().slice(0, 19).replace("T", " ") : ""}}}}});
  panel.scrollIntoView({block: "nearest"});
}
)js";

}  // namespace

Json page_data(const FleetReport& report) {
  Json groups = Json::array();
  Json rows = Json::array();
  Json runs = Json::array();
  for (std::size_t index = 0; index < report.groups.size(); ++index) {
    const Group& group = report.groups[index];
    groups.push_back({{"model", group.cpu_model},
                      {"arch", group.arch},
                      {"label", group.label},
                      {"threads", group.threads},
                      {"library", group.library_version},
                      {"median", group.median},
                      {"mad", group.mad},
                      {"no_flags_reason", group.no_flags_reason}});
    for (const HostFigure& host : group.hosts) {
      const double deviation =
          group.median > 0.0 ? (host.median_rate / group.median - 1.0) * 100.0 : 0.0;
      rows.push_back(Json::array(
          {host.host, index, rounded(host.median_rate, 0.1), rounded(deviation, 0.001),
           host.z ? Json(rounded(*host.z, 0.001)) : Json(nullptr), host.flag,
           host.median_cv_percent ? Json(rounded(*host.median_cv_percent, 0.001)) : Json(nullptr),
           host.unstable ? 1 : 0, host.runs, host.host_from_file ? 1 : 0}));
      Json points = Json::array();
      for (const RunPoint& run : host.history) {
        points.push_back(
            Json::array({run.time, rounded(run.rate, 0.1),
                         run.cv_percent ? Json(rounded(*run.cv_percent, 0.001)) : Json(nullptr),
                         run.unstable ? 1 : 0, run.counted ? 1 : 0}));
      }
      runs.push_back(std::move(points));
    }
  }
  // Row numbers of the flagged hosts, in the report's order (slowest first).
  Json flagged = Json::array();
  for (const Outlier& outlier : report.outliers) {
    std::size_t row = outlier.host;
    for (std::size_t g = 0; g < outlier.group; ++g) row += report.groups[g].hosts.size();
    flagged.push_back(row);
  }
  Json left_out = Json::array();
  for (const Problem& problem : report.problems) {
    left_out.push_back(Json::array({problem.path, problem.reason}));
  }
  std::size_t hosts = 0;
  for (const HostSummary& host : report.hosts) hosts += host.runs > 0 ? 1 : 0;
  return {{"hosts", hosts},
          {"documents", report.documents},
          {"since", report.since ? Json(*report.since + "Z") : Json(nullptr)},
          {"repeated_runs", report.repeated_runs},
          {"hosts_before_since", report.hosts_before_since},
          {"notes", report.model_notes},
          {"groups", std::move(groups)},
          {"rows", std::move(rows)},
          {"runs", std::move(runs)},
          {"flagged", std::move(flagged)},
          {"left_out", std::move(left_out)}};
}

std::string report_html(const FleetReport& report) {
  HtmlPage page;
  page.title = fmt::format("tarnwick report: {} hosts, {} flagged", report.hosts.size(),
                           report.outliers.size());
  page.css = CSS;
  page.body = BODY;
  page.data = page_data(report);
  page.script = SCRIPT;
  return html_page(page);
}

}  // namespace tarnwick::fleet
