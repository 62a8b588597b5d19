// The fleet page's script (report --html): groups' strips drawn when they
// scroll into view (a fleet of a thousand groups opens at once), one table
// of every host with a filter and sorting, and a host's runs when chosen.
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

// Hosts with unstable runs: their figure is doubtful, said in text.
const unstableRows = ROWS.map((row, index) => index).filter((index) => ROWS[index][7]);
if (unstableRows.length > 0) {
  document.getElementById("unstable-panel").hidden = false;
  document.getElementById("unstable").append(...unstableRows.map((index) => {
    const row = ROWS[index];
    return el("li", {class: "unstable-host"}, hostButton(row),
              " CV " + (row[6] === null ? "n/a" : row[6].toFixed(2) + " %") + " · " +
              formatRate(row[2]) + " steps/s, " + formatPercent(row[3], 1) + " · " +
              groupTitle(G[row[1]]));
  }));
}

// One scale for every strip: percent from the group's median, so that a
// distance means the same in every group; figures beyond it sit at its edge.
const EDGE = 50;
const SPAN = (() => {
  const furthest = Math.min(EDGE, ROWS.reduce((most, row) => Math.max(most, Math.abs(row[3])), 5));
  const step = furthest <= 10 ? 2 : furthest <= 25 ? 5 : 10;
  return Math.ceil(furthest * 1.05 / step) * step;
})();
const atEdge = (percent) => Math.max(-SPAN, Math.min(SPAN, percent));

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
  const points = members.map((i, at) => ({x: atEdge(ROWS[i][3]),
                                          y: ((at * 0.6180339887) % 1) - 0.5, row: ROWS[i]}));
  const deviations = members.map((i) => ROWS[i][3]).sort((a, b) => a - b);
  const box = deviations.length >= 3 ? [quantile(deviations, 0.25), 0,
                                        quantile(deviations, 0.75)].map(atEdge) : null;
  // The middle half as a box, the group's median (0 %) as its bar.
  const boxPlugin = {id: "box", afterDatasetsDraw(chart) {
    const {ctx, scales} = chart;
    const top = scales.y.getPixelForValue(0.62), bottom = scales.y.getPixelForValue(-0.62);
    ctx.save();
    ctx.strokeStyle = "#222";
    if (box) {
      const [left, , right] = box.map((v) => scales.x.getPixelForValue(v));
      ctx.lineWidth = 1.2;
      ctx.strokeRect(left, top, Math.max(1, right - left), bottom - top);
    }
    const middle = scales.x.getPixelForValue(0);
    ctx.lineWidth = 2.5;
    ctx.beginPath(); ctx.moveTo(middle, top); ctx.lineTo(middle, bottom); ctx.stroke();
    ctx.restore();
  }};
  return new Chart(canvas, {
    type: "scatter",
    data: {datasets: [{data: points,
                       pointRadius: (c) => c.raw && (c.raw.row[5] || c.raw.row[7]) ? 5 : 3,
                       // An unstable host: a hollow diamond, whatever its flag.
                       pointStyle: (c) => c.raw && c.raw.row[7] ? "rectRot" : "circle",
                       pointBackgroundColor: (c) => !c.raw ? "#888" : c.raw.row[7] ? "#fff"
                                                                     : colour(c.raw.row),
                       pointBorderColor: (c) => c.raw && c.raw.row[7] ? "#a15c00" : "transparent",
                       pointBorderWidth: (c) => c.raw && c.raw.row[7] ? 2 : 0}]},
    options: {animation: false, maintainAspectRatio: false, parsing: false,
      plugins: {legend: {display: false},
                tooltip: {callbacks: {label: (c) => hostName(c.raw.row) + ": " +
                  formatRate(c.raw.row[2]) + " steps/s, " + formatPercent(c.raw.row[3], 2) +
                  (c.raw.row[5] ? " (" + c.raw.row[5] + ")" : "") +
                  (c.raw.row[7] ? ", unstable runs" : "")}}},
      scales: {y: {display: false, min: -0.75, max: 0.75},
               x: {min: -SPAN, max: SPAN,
                   title: {display: true, text: "against the group's median"},
                   ticks: {maxRotation: 0, callback: (value) => value === 0 ? "0" :
                     formatPercent(value, 0)}}},
      onClick: (event, elements) => {
        if (elements.length > 0) {
          const row = points[elements[0].index].row;
          chooseHost(row[0], row[9]);
        }
      }},
    plugins: [boxPlugin]});
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
    td.dataset.label = COLUMNS[column];
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

// On a phone the table is cards without a header: the choice of order is a field.
const sortChoice = document.getElementById("sort");
COLUMNS.forEach((name, column) => sortChoice.append(el("option", {value: String(column), text: name})));
sortChoice.addEventListener("change", () => sortBy(Number(sortChoice.value), true));
let sorted = {column: -1, ascending: true};
function sortBy(column, ascending) {
  sorted = {column, ascending: ascending !== undefined ? ascending
                                : sorted.column === column ? !sorted.ascending : true};
  sortChoice.value = String(column);
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

// A host chosen: its figure in each group, every run it has, and one chart
// per group it is in: each on its own axis (a one-worker and an all-CPU
// label differ eightfold) with the group's median drawn.
let hostCharts = [];
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
    el("td", {text: time, "data-label": "started (UTC)"}),
    el("td", {class: "number", text: formatRate(rate), "data-label": "steps/s"}),
    el("td", {class: "number", text: cv === null ? "n/a" : cv.toFixed(2) + " %",
              "data-label": "CV"}),
    el("td", {class: unstable ? "warn" : "", text: unstable ? "unstable" : "",
              "data-label": "unstable"}),
    el("td", {text: counted ? "yes" : "no (older)", "data-label": "in the figure"}))));
  hostCharts.forEach((chart) => chart.destroy());
  const box = document.getElementById("host-charts");
  const canvases = rows.map(([row]) => el("canvas", {"aria-label": "runs of " + hostName(row) +
                                                      " in " + groupTitle(G[row[1]])}));
  box.replaceChildren(...rows.map(([row], at) => el("div", {class: "host-chart"},
    el("h3", {text: G[row[1]].label + ", " + plural(G[row[1]].threads, "worker") + " · " +
                    G[row[1]].model}),
    el("div", {class: "chart small"}, canvases[at]))));
  hostCharts = rows.map(([row, index], at) => hostChart(canvases[at], row, index));
  panel.scrollIntoView({block: "nearest"});
}

function hostChart(canvas, row, index) {
  const group = G[row[1]];
  const points = DATA.runs[index].map(([time, rate, , unstable]) =>
    ({x: Date.parse(time), y: rate, unstable}));
  const times = points.map((p) => p.x);
  const from = Math.min(...times), to = Math.max(...times);
  const pad = from === to ? 3600e3 : 0;
  const median = [{x: from - pad, y: group.median}, {x: to + pad, y: group.median}];
  return new Chart(canvas, {
    type: "line",
    data: {datasets: [
      {label: "runs", data: points, borderColor: "#1f5fa8", backgroundColor: "#1f5fa8",
       pointRadius: 4, pointStyle: (c) => c.raw && c.raw.unstable ? "crossRot" : "circle"},
      {label: "group median", data: median, borderColor: "#555", borderDash: [6, 4],
       borderWidth: 1.5, pointRadius: 0}]},
    options: {animation: false, maintainAspectRatio: false, parsing: false,
      scales: {x: {type: "linear", min: from - pad, max: to + pad,
                   ticks: {maxRotation: 0, maxTicksLimit: 4, callback: (v) =>
                     // Dates when the runs span days, else the hour as well.
                     to - from > 3 * 86400e3 ? new Date(v).toISOString().slice(0, 10)
                       : new Date(v).toISOString().slice(5, 16).replace("T", " ")}},
               y: {grace: "10%", ticks: {callback: (value) => formatRate(value)}}},
      plugins: {legend: {display: true, labels: {boxHeight: 2}},
                tooltip: {callbacks: {title: (items) => items.length ?
        new Date(items[0].raw.x).toISOString().slice(0, 19).replace("T", " ") : ""}}}}});
}
