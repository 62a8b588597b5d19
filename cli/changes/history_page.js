// The history page's script (history --html). Charts are made when their
// panel comes into view, so a history of thousands of series opens at once;
// a series of thousands of runs is thinned for drawing by the library's
// decimation, never in the data.
const COLOURS = ["#2b6cb0", "#c05621", "#2f855a", "#6b46c1", "#b83280", "#2c7a7b"];
function utcDay(ms) { return new Date(ms).toISOString().slice(0, 10); }
function utcMinute(ms) { return new Date(ms).toISOString().slice(0, 16).replace("T", " "); }
function workers(n) { return n + " worker" + (n === 1 ? "" : "s"); }

const summary = document.getElementById("summary");
const runCount = DATA.groups.reduce((sum, g) => sum + g.series.reduce((s, x) => s + x.runs.length, 0), 0);
const changeCount = DATA.groups.reduce((sum, g) => sum + g.series.reduce((s, x) => s + x.changes.length, 0), 0);
const groupCount = DATA.groups.length;
summary.textContent = `${runCount} completed run${runCount === 1 ? "" : "s"} of ${groupCount} ` +
  `host${groupCount === 1 ? " and label" : "s and labels"} in ${DATA.history}` +
  (DATA.filter ? ` (${DATA.filter})` : "") + `; ${changeCount} change${changeCount === 1 ? "" : "s"} of ` +
  `${DATA.min_change_percent} % or more. Written ${DATA.generated}.`;

// Marks each change: a dashed line at its first run, its size above.
const changeMarks = {
  id: "changeMarks",
  afterDatasetsDraw(chart) {
    const {ctx, chartArea, scales} = chart;
    ctx.save();
    ctx.font = "600 12px system-ui, sans-serif";
    ctx.textAlign = "center";
    for (const mark of chart.options.plugins.changeMarks.marks) {
      const x = scales.x.getPixelForValue(mark.x);
      if (x < chartArea.left || x > chartArea.right) continue;
      ctx.strokeStyle = mark.percent < 0 ? "#b3261e" : "#1f7a3a";
      ctx.fillStyle = ctx.strokeStyle;
      ctx.setLineDash([5, 4]);
      ctx.beginPath();
      ctx.moveTo(x, chartArea.top + 14);
      ctx.lineTo(x, chartArea.bottom);
      ctx.stroke();
      ctx.fillText(formatPercent(mark.percent), x, chartArea.top + 10);
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
    const runs = series.runs.filter(r => r[0] !== null);
    const upper = runs.map(r => ({x: r[0], y: r[2] === null ? r[1] : r[1] * (1 + r[2] / 100)}));
    const lower = runs.map(r => ({x: r[0], y: r[2] === null ? r[1] : r[1] * (1 - r[2] / 100)}));
    sets.push({label: name + " + CV", data: upper, pointRadius: 0, borderWidth: 0,
               fill: false, spread: true});
    sets.push({label: name + " − CV", data: lower, pointRadius: 0, borderWidth: 0,
               backgroundColor: colour + "2e", fill: "-1", spread: true});
    const small = runs.length <= 400;
    sets.push({label: name, data: runs.map(r => ({x: r[0], y: r[1], run: r})),
               borderColor: colour, backgroundColor: colour, borderWidth: 1.5,
               pointStyle: runs.map(r => r[3] ? "triangle" : "circle"),
               pointRadius: runs.map(r => r[3] ? 6 : small ? 2 : 0),
               pointBackgroundColor: runs.map(r => r[3] ? "#b3261e" : colour),
               pointBorderColor: runs.map(r => r[3] ? "#b3261e" : colour)});
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
      if (at !== null) marks.push({x: at, percent: change.percent});
    }
  }
  const times = group.series.flatMap(s => s.runs.map(r => r[0])).filter(t => t !== null);
  if (!times.length) return;  // no run with a start the history could read
  const first = Math.min(...times), last = Math.max(...times);
  // At least ±10 % around the median, so a quiet host's 2 % noise does not
  // fill the panel and look like a cliff.
  const rates = group.series.flatMap(s => s.runs.map(r => r[1])).sort((a, b) => a - b);
  const middle = rates[Math.floor(rates.length / 2)];
  new Chart(canvas, {
    type: "line",
    data: {datasets: datasets(group)},
    options: {
      animation: false, maintainAspectRatio: false,
      interaction: {mode: "nearest", intersect: false},
      layout: {padding: {top: 16}},
      scales: {
        x: {type: "linear", min: first, max: last, ticks: {callback: utcDay, maxTicksLimit: 8}},
        y: {title: {display: true, text: "steps per second"}, ticks: {callback: formatRate},
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
                     `${run[3] ? " UNSTABLE" : ""} · run ${run[4]}`;
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
    const unstable = series.runs.filter(r => r[3]).length;
    const last = series.runs[series.runs.length - 1];
    const line = el("div", {},
      `${workers(series.threads)}, library ${series.library_version}: ${series.runs.length} runs, ` +
      `latest ${formatRate(last[1])}/s`,
      unstable ? el("span", {class: "warn", text: ` · ${unstable} unstable`}) : null);
    for (const change of series.changes) {
      line.append(" · ", el("span", {class: "change " + (change.percent < 0 ? "bad" : "good"),
        title: `p = ${change.p}; from run ${change.run}`,
        text: `${formatPercent(change.percent)} from ${change.started.slice(0, 10)} ` +
              `(${formatRate(change.before)} → ${formatRate(change.after)}/s)`}));
    }
    facts.append(line);
  }
  const section = el("section", {class: "panel group"},
    el("h2", {}, el("span", {class: "host", text: group.host}), " ",
       el("span", {class: "label", text: "· " + group.label})),
    facts, el("div", {class: "chart"}, canvas));
  section.dataset.search = (group.host + " " + group.label).toLowerCase();
  section.drawn = false;
  section.draw = () => { if (!section.drawn) { section.drawn = true; drawChart(group, canvas); } };
  return section;
}

const container = document.getElementById("groups");
const sections = DATA.groups.map(panel);
container.append(...sections);
const observer = new IntersectionObserver((entries) => {
  for (const entry of entries) {
    if (entry.isIntersecting) { entry.target.draw(); observer.unobserve(entry.target); }
  }
}, {rootMargin: "400px"});
sections.forEach(s => observer.observe(s));
if (!DATA.groups.length) container.append(el("p", {class: "muted", text: "No completed runs."}));

const filter = document.getElementById("filter");
const shown = document.getElementById("shown");
function applyFilter() {
  const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
  let count = 0;
  for (const s of sections) {
    const match = words.every(w => s.dataset.search.includes(w));
    s.classList.toggle("hidden", !match);
    count += match;
  }
  shown.textContent = words.length ? `${count} of ${sections.length} shown` : "";
}
filter.addEventListener("input", applyFilter);
