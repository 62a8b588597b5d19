// The history page's script (history --html). It leads with what changed,
// newest first, each change linked to its panel. Panels are made a page at a
// time (a history of a thousand series opens with a few dozen) and their
// charts when they come into view, or all at once before printing; a series
// of thousands of runs is thinned for drawing by the library's decimation,
// never in the data.
const COLOURS = ["#2b6cb0", "#c05621", "#2f855a", "#6b46c1", "#b83280", "#2c7a7b"];
const PAGE = 30;            // panels made at first, and at each "more"
const CHANGED_ONLY_PAST = 50;  // series: past this many, only the changed ones at first
const LIST_FIRST = 30;      // changes listed before "show all"
function utcDay(ms) { return new Date(ms).toISOString().slice(0, 10); }
function utcMinute(ms) { return new Date(ms).toISOString().slice(0, 16).replace("T", " "); }
const count = (n, one, many) => n + " " + (n === 1 ? one : many);
const plural = (n, word) => count(n, word, word + "s");
function workers(n) { return plural(n, "worker"); }
const seriesName = (group, series) =>
  `${group.host} · ${group.label} · ${workers(series.threads)} · ${series.library_version}`;
const kindName = {shift: "shift", episode: "episode", step: "change"};
// A run's marks: unstable (its CV) above disturbed (something else took the
// CPU for some of its seconds), which a red triangle's amber edge still shows.
const UNSTABLE = "#b3261e", DISTURBED = "#b7791f";
const disturbed = (run) => run[5] > 0;
function pointStyle(run) { return run[3] ? "triangle" : disturbed(run) ? "rectRot" : "circle"; }

// When a change happened, as the list and the panels say it: a shift's
// first step, and its last when it took several, or that it is still
// moving; an episode's first and last run.
function span(change) {
  let text = "from " + change.started.slice(0, 10);
  if (change.ended) text += " to " + change.ended.slice(0, 10);
  if (change.kind === "shift" && change.steps > 1) text += ` in ${change.steps} steps`;
  if (change.kind === "episode" && change.runs) text += ` (${plural(change.runs, "run")})`;
  if (change.ongoing) text += ", still moving";
  return text;
}

// Every change with its series, newest first.
const changes = [];
DATA.groups.forEach((group, at) => {
  group.number = at;
  group.changed = group.series.some((s) => s.changes.length > 0);
  for (const series of group.series) {
    for (const change of series.changes) changes.push({group, series, change});
  }
});
changes.sort((a, b) => (a.change.started < b.change.started) - (a.change.started > b.change.started));
// Panels in that order too: the changed ones first, by their newest change,
// then the others as the history lists them.
const panelOrder = [...new Set(changes.map(({group}) => group)),
                    ...DATA.groups.filter((group) => !group.changed)];

const seriesCount = DATA.groups.reduce((sum, g) => sum + g.series.length, 0);
const runCount = DATA.groups.reduce((sum, g) => sum + g.series.reduce((s, x) => s + x.runs.length, 0), 0);
const unjudged = DATA.groups.flatMap((group) => group.series.filter((s) => s.judged === false)
  .map((series) => ({group, series})));
document.getElementById("summary").textContent =
  `${plural(runCount, "completed run")} in ${count(seriesCount, "series", "series")} ` +
  `(${count(DATA.groups.length, "host and label", "hosts and labels")}) in ${DATA.history}` +
  (DATA.filter ? ` (${DATA.filter})` : "") +
  `; ${plural(changes.filter(({change}) => change.kind === "shift").length, "shift")} and ` +
  `${plural(changes.filter(({change}) => change.kind === "episode").length, "episode")} ` +
  `of ${DATA.min_change_percent} % or more` +
  (unjudged.length ? `; ${count(unjudged.length, "series", "series")} not judged` : "") + ". " +
  `Written ${DATA.generated}.`;

// The "What changed" list: series, size, when, kind; each a link to its panel.
function changeItem({group, series, change}) {
  const link = el("a", {href: "#panel-" + group.number, class: "series-link",
                        text: seriesName(group, series),
                        onclick: (event) => { event.preventDefault(); reveal(group); }});
  return el("li", {class: "changed " + change.kind},
    el("span", {class: "size " + (change.percent < 0 ? "bad" : "good"),
                text: formatPercent(change.percent)}), " ",
    el("span", {class: "kind", text: kindName[change.kind] || change.kind}), " ",
    el("span", {class: "when", text: span(change)}), " · ",
    link);
}
const changedList = document.getElementById("changed-list");
function listChanges(shownCount) {
  changedList.replaceChildren(...changes.slice(0, shownCount).map(changeItem));
  const more = document.getElementById("changed-more");
  more.hidden = changes.length <= shownCount;
  more.textContent = `Show all ${changes.length} changes`;
}
listChanges(LIST_FIRST);
document.getElementById("changed-more").addEventListener("click", () => listChanges(changes.length));
if (changes.length === 0) {
  document.getElementById("changed-none").textContent =
    `No shift or episode of ${DATA.min_change_percent} % or more in ` +
    `${count(seriesCount - unjudged.length, "series", "series")} judged.`;
}
if (unjudged.length > 0) {
  const box = document.getElementById("unjudged");
  box.hidden = false;
  box.append(el("span", {text: "Not judged (too few runs): "}));
  // A history of many new series names the first few and counts the rest.
  unjudged.slice(0, LIST_FIRST).forEach(({group, series}, at) => {
    if (at > 0) box.append("; ");
    box.append(el("a", {href: "#panel-" + group.number, class: "series-link",
                        text: seriesName(group, series),
                        onclick: (event) => { event.preventDefault(); reveal(group); }}),
               `: ${plural(series.runs.length, "run")}; changes need ${series.needs}`);
  });
  if (unjudged.length > LIST_FIRST) box.append(`; and ${unjudged.length - LIST_FIRST} more`);
}

// Marks each change on its chart: a dashed line at its first run, its size
// above the plot (never over the data), a label moved up a row, or left to
// the list, when it would cover another.
const changeMarks = {
  id: "changeMarks",
  afterDatasetsDraw(chart) {
    const {ctx, chartArea, scales} = chart;
    ctx.save();
    ctx.font = "600 12px system-ui, sans-serif";
    ctx.textBaseline = "bottom";
    const rows = [[], []];  // the label boxes of each row, as [left, right]
    chart.changeLabels = [];  // what was written where, for a reader of the chart
    const marks = [...chart.options.plugins.changeMarks.marks].sort((a, b) => a.x - b.x);
    for (const mark of marks) {
      const x = scales.x.getPixelForValue(mark.x);
      if (x < chartArea.left - 1 || x > chartArea.right + 1) continue;
      const colour = mark.percent < 0 ? "#b3261e" : "#1f7a3a";
      ctx.strokeStyle = colour;
      ctx.setLineDash(mark.episode ? [2, 3] : [5, 4]);
      ctx.beginPath();
      ctx.moveTo(x, chartArea.top);
      ctx.lineTo(x, chartArea.bottom);
      ctx.stroke();
      if (mark.end !== undefined) {  // an episode, or a shift of several steps
        const end = Math.min(chartArea.right, scales.x.getPixelForValue(mark.end));
        ctx.fillStyle = colour + "1a";
        ctx.fillRect(x, chartArea.top, Math.max(1, end - x), chartArea.bottom - chartArea.top);
      }
      const text = formatPercent(mark.percent);
      const width = ctx.measureText(text).width + 4;
      const left = Math.max(0, Math.min(x - width / 2, chart.width - width));
      const row = rows.findIndex((boxes) => boxes.every(([l, r]) => left > r + 2 || left + width < l - 2));
      if (row < 0) continue;  // no room: the list above names it
      rows[row].push([left, left + width]);
      const bottom = chartArea.top - 2 - row * 15;
      ctx.fillStyle = "#fff";
      ctx.fillRect(left, bottom - 14, width, 14);
      ctx.fillStyle = colour;
      ctx.fillText(text, left + 2, bottom);
      chart.changeLabels.push({text, left, right: left + width, top: bottom - 14, bottom});
    }
    ctx.restore();
  },
};

function datasets(group) {
  const sets = [];
  const many = group.series.length > 1;
  group.series.forEach((series, n) => {
    const colour = COLOURS[n % COLOURS.length];
    const name = many ? `${workers(series.threads)} · ${series.library_version}` : "mean rate";
    const runs = series.runs.filter((r) => r[0] !== null);
    const upper = runs.map((r) => ({x: r[0], y: r[2] === null ? r[1] : r[1] * (1 + r[2] / 100)}));
    const lower = runs.map((r) => ({x: r[0], y: r[2] === null ? r[1] : r[1] * (1 - r[2] / 100)}));
    sets.push({label: name + " + CV", data: upper, pointRadius: 0, borderWidth: 0,
               fill: false, spread: true});
    sets.push({label: name + " − CV", data: lower, pointRadius: 0, borderWidth: 0,
               backgroundColor: colour + "2e", fill: "-1", spread: true});
    const small = runs.length <= 400;
    sets.push({label: name, data: runs.map((r) => ({x: r[0], y: r[1], run: r})),
               borderColor: colour, backgroundColor: colour, borderWidth: 1.5,
               pointStyle: runs.map(pointStyle),
               pointRadius: runs.map((r) => r[3] ? 6 : disturbed(r) ? 5 : small ? 2 : 0),
               pointBorderWidth: runs.map((r) => r[3] && disturbed(r) ? 2 : 1),
               pointBackgroundColor: runs.map((r) => r[3] ? UNSTABLE : disturbed(r) ? DISTURBED : colour),
               pointBorderColor: runs.map((r) => disturbed(r) ? DISTURBED : r[3] ? UNSTABLE : colour)});
    const steps = [];
    for (const [begin, end, level] of series.levels) {
      const from = series.runs[begin][0], to = series.runs[end - 1][0];
      if (from === null || to === null) continue;
      steps.push({x: from, y: level}, {x: to, y: level}, {x: to, y: null});
    }
    sets.push({label: name + " level", data: steps, borderColor: "#444", borderDash: [6, 4],
               borderWidth: 1.5, pointRadius: 0, spanGaps: false, level: true});
  });
  return sets;
}

function drawChart(group, canvas) {
  const marks = [];
  for (const series of group.series) {
    for (const change of series.changes) {
      const at = series.runs[change.index][0];
      const end = change.end !== undefined ? series.runs[change.end][0] : null;
      if (at !== null) {
        marks.push({x: at, percent: change.percent, episode: change.kind === "episode",
                    end: end === null ? undefined : end});
      }
    }
  }
  const times = group.series.flatMap((s) => s.runs.map((r) => r[0])).filter((t) => t !== null);
  if (!times.length) return;  // no run with a start the history could read
  const first = Math.min(...times), last = Math.max(...times);
  // At least ±10 % around the median, so a quiet host's 2 % noise does not
  // fill the panel and look like a cliff.
  const rates = group.series.flatMap((s) => s.runs.map((r) => r[1])).sort((a, b) => a - b);
  const middle = rates[Math.floor(rates.length / 2)];
  // Dates never overlap: about one per 110 pixels, level.
  const width = canvas.parentElement.clientWidth || 600;
  new Chart(canvas, {
    type: "line",
    data: {datasets: datasets(group)},
    options: {
      animation: false, maintainAspectRatio: false,
      interaction: {mode: "nearest", intersect: false},
      layout: {padding: {top: marks.length ? 34 : 8, right: 8}},
      scales: {
        x: {type: "linear", min: first, max: last,
            ticks: {callback: utcDay, maxTicksLimit: Math.max(2, Math.floor(width / 110)),
                    maxRotation: 0}},
        y: {title: {display: width > 480, text: "steps per second"}, ticks: {callback: formatRate},
            suggestedMin: middle * 0.9, suggestedMax: middle * 1.1},
      },
      plugins: {
        legend: {display: group.series.length > 1, labels: {filter: (item, data) => {
          const set = data.datasets[item.datasetIndex];
          return !set.spread && !set.level;
        }}},
        tooltip: {
          filter: (item) => item.raw && item.raw.run !== undefined,
          callbacks: {
            title: (items) => items.length ? utcMinute(items[0].raw.x) : "",
            label: (item) => {
              const run = item.raw.run;
              return `${formatRate(run[1])}/s ± ${run[2] === null ? "–" : run[2].toFixed(1) + " %"}` +
                     `${run[3] ? " UNSTABLE" : ""}` +
                     `${disturbed(run) ? " · " + plural(run[5], "disturbed second") : ""} · run ${run[4]}`;
            },
          },
        },
        changeMarks: {marks},
      },
    },
    plugins: [changeMarks],
  });
}

function panel(group) {
  const canvas = el("canvas", {"aria-label": `Mean rate of ${group.host} over time`, role: "img"});
  const facts = el("div", {class: "facts"});
  for (const series of group.series) {
    const unstable = series.runs.filter((r) => r[3]).length;
    const noisy = series.runs.filter(disturbed).length;
    const last = series.runs[series.runs.length - 1];
    const line = el("div", {},
      `${workers(series.threads)}, library ${series.library_version}: ${plural(series.runs.length, "run")}, ` +
      `latest ${formatRate(last[1])}/s`,
      unstable ? el("span", {class: "warn", text: ` · ${unstable} unstable`}) : null,
      noisy ? el("span", {class: "disturbed", text: ` · ${noisy} with disturbed seconds`}) : null,
      series.judged === false ? el("span", {class: "warn unjudged",
        text: ` · not judged: changes need ${series.needs} runs`}) : null);
    for (const change of series.changes) {
      line.append(" · ", el("span", {class: "change " + (change.percent < 0 ? "bad" : "good"),
        title: (change.p !== undefined ? `p = ${change.p}; ` : "") + `from run ${change.run}`,
        text: `${formatPercent(change.percent)} ${kindName[change.kind] || ""} ${span(change)}` +
              (change.kind === "episode"
                ? ` at ${formatRate(change.after)}/s, ${formatRate(change.before)}/s around`
                : ` (${formatRate(change.before)} → ${formatRate(change.after)}/s)`)}));
    }
    facts.append(line);
  }
  const section = el("section", {class: "panel group", id: "panel-" + group.number},
    el("h2", {}, el("span", {class: "host", text: group.host}), " ",
       el("span", {class: "label", text: "· " + group.label})),
    facts, el("div", {class: "chart"}, canvas));
  section.drawn = false;
  section.draw = () => { if (!section.drawn) { section.drawn = true; drawChart(group, canvas); } };
  return section;
}

// Panels: the ones the filter matches, a page at a time.
const container = document.getElementById("groups");
const searchKeys = DATA.groups.map((group) => [group.host, group.label,
  ...group.series.flatMap((s) => [workers(s.threads), s.library_version]),
  group.changed ? "changed" : "", group.series.some((s) => s.runs.some((r) => r[3])) ? "unstable" : "",
  group.series.some((s) => s.runs.some(disturbed)) ? "disturbed" : "",
].join("\n").toLowerCase());
const sections = new Map();  // group number -> its panel, once made
const sectionOf = (group) => {
  if (!sections.has(group.number)) sections.set(group.number, panel(group));
  return sections.get(group.number);
};
const observer = "IntersectionObserver" in window ? new IntersectionObserver((entries) => {
  for (const entry of entries) {
    if (entry.isIntersecting) { entry.target.draw(); observer.unobserve(entry.target); }
  }
}, {rootMargin: "400px"}) : null;

const filter = document.getElementById("filter");
const changedOnly = document.getElementById("changed-only");
const shown = document.getElementById("shown");
const moreButton = document.getElementById("more");
const allButton = document.getElementById("all");
changedOnly.checked = seriesCount > CHANGED_ONLY_PAST;
let matching = [];  // the groups the filter shows
let limit = PAGE;
function render() {
  const view = matching.slice(0, limit).map(sectionOf);
  container.replaceChildren(...view);
  for (const section of view) {
    if (section.drawn) continue;
    if (observer) observer.observe(section); else section.draw();
  }
  const rest = matching.length - view.length;
  moreButton.hidden = allButton.hidden = rest <= 0;
  moreButton.textContent = `Show ${Math.min(PAGE, rest)} more`;
  allButton.textContent = `Show all ${matching.length}`;
  shown.textContent = `${view.length} of ${plural(DATA.groups.length, "panel")} shown` +
    (matching.length > view.length ? ` (${matching.length} match)` : "");
  if (!DATA.groups.length) container.append(el("p", {class: "muted", text: "No completed runs."}));
  else if (!matching.length) {
    container.append(el("p", {class: "muted", text: "No panel matches the filter."}));
  }
}
function applyFilter() {
  const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
  matching = panelOrder.filter((group) => (!changedOnly.checked || group.changed) &&
    words.every((word) => searchKeys[group.number].includes(word)));
  limit = PAGE;
  render();
}
filter.addEventListener("input", applyFilter);
changedOnly.addEventListener("change", applyFilter);
moreButton.addEventListener("click", () => { limit += PAGE; render(); });
allButton.addEventListener("click", () => { limit = matching.length; render(); });
applyFilter();

// A change's link: its panel shown (the filter widened if it hid the panel)
// and scrolled to.
function reveal(group) {
  if (!matching.includes(group)) {
    filter.value = "";
    if (!group.changed) changedOnly.checked = false;
    applyFilter();
  }
  const at = matching.indexOf(group);
  if (at >= limit) { limit = at + 1; render(); }
  const section = sectionOf(group);
  section.draw();
  section.scrollIntoView({block: "start"});
  history.replaceState(null, "", "#panel-" + group.number);
}

// Printing, or saving as PDF: every panel shown gets its chart first.
window.addEventListener("beforeprint", () => {
  for (const section of container.querySelectorAll("section.group")) section.draw();
});
