// The viewer page: reads a summary and a listing picked from disk and draws
// the averages, the token table and the scatter. Everything stays in the page.
(function () {
  "use strict";

  const P = window.OrvelleParsers;
  const $ = (id) => document.getElementById(id);

  const ROW_HEIGHT = 26;       // px, fixed so the table can render a window of rows
  const CHUNK = 8 << 20;       // bytes of the listing decoded per step
  const COLOURS = { mean: "#3d6fb6", meanAbs: "#e08a2c", axis: "#555", grid: "#ddd", missing: "#b8b8b8" };

  const state = {
    summary: null,     // [{space, entries}]
    averages: [],      // [{space, mean, meanAbs, count}]
    rows: [],          // [{text, ratios: Float64Array, spread, maxAbs, count}]
    view: new Int32Array(0),  // indexes into rows, filtered and sorted
    sort: null,        // {key, desc}
    filter: "",
    listing: null,     // parsed listing
    selected: null,    // token text marked in the scatter
  };
  const chart = { bars: [] };
  const scatter = { drawn: 0, skipped: 0, px: null, py: null, cells: null };
  window.orvelleViewer = { state, chart, scatter };

  // --- loading ------------------------------------------------------------

  function setStatus(which, text, kind) {
    const el = $(which + "-status");
    el.textContent = text;
    el.className = "status " + (kind || "");
    document.body.dataset[which] = kind || "loading";
  }

  async function loadSummary(file) {
    setStatus("summary", `reading ${file.name}…`, "loading");
    try {
      const summary = P.parseSummary(await file.text());
      state.summary = summary;
      state.averages = P.spaceAverages(summary);
      buildRows();
      const tokens = state.rows.length;
      setStatus("summary", `${file.name}: ${summary.length} spaces, ${tokens} tokens`, "ready");
    } catch (e) {
      state.summary = null;
      state.averages = [];
      state.rows = [];
      setStatus("summary", `${file.name}: ${e.message}`, "error");
    }
    drawChart();
    fillColourChoice();
    buildTableHead();
    applyView();
    drawScatter();
  }

  async function loadListing(file) {
    setStatus("listing", `reading ${file.name}…`, "loading");
    try {
      const parser = P.createListingParser();
      const decoder = new TextDecoder("utf-8", { fatal: true });
      for (let at = 0; at < file.size; at += CHUNK) {
        const bytes = await file.slice(at, at + CHUNK).arrayBuffer();
        parser.push(decoder.decode(bytes, { stream: true }));
        setStatus("listing", `reading ${file.name}: ${Math.round((100 * Math.min(at + CHUNK, file.size)) / file.size)}%`, "loading");
      }
      parser.push(decoder.decode());
      state.listing = parser.finish();
      const l = state.listing;
      setStatus("listing", `${file.name}: ${l.count} tokens, ${l.dim} components`, "ready");
    } catch (e) {
      state.listing = null;
      const why = e instanceof TypeError ? "not valid UTF-8" : e.message;
      setStatus("listing", `${file.name}: ${why}`, "error");
    }
    countListing();
    fillComponentChoice();
    renderRows();
    drawScatter();
  }

  // --- derived tables -----------------------------------------------------

  function buildRows() {
    const spaces = state.summary;
    const byText = new Map();
    const rows = [];
    spaces.forEach(({ entries }, s) => {
      for (const [text, v] of entries) {
        let row = byText.get(text);
        if (!row) {
          row = { text, ratios: new Float64Array(spaces.length).fill(NaN), present: new Uint8Array(spaces.length), spread: NaN, maxAbs: NaN, count: 0 };
          byText.set(text, row);
          rows.push(row);
        }
        row.ratios[s] = v;
        row.present[s] = 1;
      }
    });
    for (const row of rows) {
      let lo = Infinity, hi = -Infinity, abs = -Infinity, nan = false;
      row.ratios.forEach((v, s) => {
        if (!row.present[s]) return;
        if (v !== v) nan = true;
        lo = Math.min(lo, v);
        hi = Math.max(hi, v);
        abs = Math.max(abs, Math.abs(v));
      });
      row.spread = nan || lo > hi ? NaN : hi - lo;
      row.maxAbs = nan || lo > hi ? NaN : abs;
    }
    state.rows = rows;
    state.byText = byText;
    state.sort = { key: spaces.length > 1 ? "spread" : "maxAbs", desc: true };
    countListing();
  }

  function countListing() {
    for (const row of state.rows) row.count = 0;
    const l = state.listing;
    if (!l || !state.byText) return;
    for (const t of l.texts) {
      const row = state.byText.get(t);
      if (row) row.count += 1;
    }
  }

  // --- chart --------------------------------------------------------------

  function fitCanvas(canvas) {
    const ratio = window.devicePixelRatio || 1;
    const w = canvas.clientWidth;
    const h = canvas.clientHeight;
    canvas.width = Math.round(w * ratio);
    canvas.height = Math.round(h * ratio);
    const ctx = canvas.getContext("2d");
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.clearRect(0, 0, w, h);
    return { ctx, w, h };
  }

  function formatRatio(v) {
    if (v !== v) return "NaN";
    if (v === Infinity) return "inf";
    if (v === -Infinity) return "-inf";
    const a = Math.abs(v);
    if (a !== 0 && (a < 1e-3 || a >= 1e6)) return v.toExponential(3);
    return v.toFixed(4);
  }

  function drawChart() {
    const canvas = $("chart");
    const { ctx, w, h } = fitCanvas(canvas);
    chart.bars = [];
    const tbody = $("chart-table").tBodies[0];
    tbody.replaceChildren();
    const avg = state.averages;
    if (avg.length === 0) {
      ctx.fillStyle = COLOURS.axis;
      ctx.font = "14px sans-serif";
      ctx.fillText("Pick a calculator_summary.txt to see the averages.", 16, 32);
      return;
    }
    for (const a of avg) {
      const tr = tbody.insertRow();
      for (const [text, title] of [[a.space, a.space], [formatRatio(a.mean), String(a.mean)], [formatRatio(a.meanAbs), String(a.meanAbs)], [String(a.count), ""]]) {
        const td = tr.insertCell();
        td.textContent = text;
        if (title) td.title = title;
      }
    }

    // Value axis over the finite averages and zero; infinite bars run to the edge.
    let lo = 0, hi = 0;
    for (const a of avg) for (const v of [a.mean, a.meanAbs]) {
      if (Number.isFinite(v)) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
    }
    if (hi === lo) hi = lo + 1;
    const ticks = niceTicks(lo, hi, 5);
    lo = Math.min(lo, ticks[0]);
    hi = Math.max(hi, ticks[ticks.length - 1]);
    const left = 56, right = 12, top = 22, bottom = 48;
    const plotH = h - top - bottom;
    const y = (v) => top + ((hi - v) / (hi - lo)) * plotH;

    ctx.font = "12px sans-serif";
    ctx.textAlign = "right";
    ctx.textBaseline = "middle";
    for (const t of ticks) {
      ctx.strokeStyle = COLOURS.grid;
      ctx.beginPath();
      ctx.moveTo(left, y(t));
      ctx.lineTo(w - right, y(t));
      ctx.stroke();
      ctx.fillStyle = COLOURS.axis;
      ctx.fillText(formatTick(t), left - 6, y(t));
    }

    const group = (w - left - right) / avg.length;
    const barW = Math.max(2, Math.min(48, group * 0.32));
    ctx.textAlign = "center";
    avg.forEach((a, i) => {
      const cx = left + group * (i + 0.5);
      [["mean", a.mean, cx - barW - 2], ["meanAbs", a.meanAbs, cx + 2]].forEach(([kind, v, x]) => {
        let yTop, yBottom;
        if (v !== v) {
          yTop = yBottom = y(0);
        } else {
          const clamped = Math.max(lo, Math.min(hi, v));
          yTop = Math.min(y(clamped), y(0));
          yBottom = Math.max(y(clamped), y(0));
        }
        ctx.fillStyle = COLOURS[kind];
        ctx.fillRect(x, yTop, barW, yBottom - yTop);
        chart.bars.push({ space: a.space, kind, value: v, x, y: yTop, width: barW, height: yBottom - yTop });
        ctx.fillStyle = COLOURS.axis;
        ctx.textBaseline = v < 0 ? "top" : "bottom";
        ctx.fillText(formatRatio(v), x + barW / 2, v < 0 ? yBottom + 2 : yTop - 2);
      });
      ctx.textBaseline = "top";
      ctx.fillStyle = "#222";
      ctx.fillText(ellipsize(ctx, a.space, group - 6), cx, h - bottom + 8);
    });
    ctx.strokeStyle = COLOURS.axis;
    ctx.beginPath();
    ctx.moveTo(left, y(0));
    ctx.lineTo(w - right, y(0));
    ctx.stroke();
  }

  function niceTicks(lo, hi, n) {
    const raw = (hi - lo) / n;
    const mag = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 2.5, 5, 10].map((m) => m * mag).find((s) => s >= raw);
    const ticks = [];
    for (let t = Math.floor(lo / step) * step; t <= hi + step * 1e-9; t += step) ticks.push(Math.abs(t) < step * 1e-9 ? 0 : t);
    if (ticks[ticks.length - 1] < hi) ticks.push(ticks[ticks.length - 1] + step);
    return ticks;
  }

  function formatTick(t) {
    return Math.abs(t) >= 1e4 || (t !== 0 && Math.abs(t) < 1e-3) ? t.toExponential(1) : String(+t.toPrecision(6));
  }

  function ellipsize(ctx, text, width) {
    if (ctx.measureText(text).width <= width) return text;
    let n = text.length;
    while (n > 1 && ctx.measureText(text.slice(0, n) + "…").width > width) n -= 1;
    return text.slice(0, n) + "…";
  }

  // --- table --------------------------------------------------------------

  function columns() {
    const cols = [{ key: "text", label: "token", cls: "text" }, { key: "count", label: "in listing", cls: "num" }];
    (state.summary || []).forEach(({ space }, s) => cols.push({ key: s, label: space, cls: "num" }));
    cols.push({ key: "spread", label: "spread", cls: "num" }, { key: "maxAbs", label: "max |ratio|", cls: "num" });
    return cols;
  }

  function buildTableHead() {
    const cols = columns();
    const table = $("token-table");
    const template = cols.map((c) => (c.key === "text" ? "minmax(12em, 2fr)" : "minmax(7.5em, 1fr)")).join(" ");
    table.style.setProperty("--columns", template);
    const head = table.querySelector(".grid-head");
    head.replaceChildren(...cols.map((c) => {
      const b = document.createElement("button");
      b.type = "button";
      b.className = "cell " + c.cls;
      b.dataset.key = String(c.key);
      b.title = typeof c.key === "number" ? `sort by the ratio in ${c.label}` : `sort by ${c.label}`;
      const mark = state.sort && state.sort.key === c.key ? (state.sort.desc ? " ▼" : " ▲") : "";
      b.textContent = c.label + mark;
      b.addEventListener("click", () => {
        const same = state.sort && state.sort.key === c.key;
        state.sort = { key: c.key, desc: same ? !state.sort.desc : c.key !== "text" };
        buildTableHead();
        applyView();
      });
      return b;
    }));
  }

  function sortValue(row, key) {
    if (key === "spread") return row.spread;
    if (key === "maxAbs") return row.maxAbs;
    if (key === "count") return row.count;
    return row.present[key] ? row.ratios[key] : NaN;
  }

  function applyView() {
    const needle = state.filter.toLowerCase();
    const rows = state.rows;
    const picked = [];
    for (let i = 0; i < rows.length; i++) {
      if (!needle || rows[i].text.toLowerCase().includes(needle)) picked.push(i);
    }
    const s = state.sort;
    if (s && s.key === "text") {
      const c = new Intl.Collator(undefined, { sensitivity: "variant" });
      picked.sort((a, b) => (s.desc ? -1 : 1) * c.compare(rows[a].text, rows[b].text));
    } else if (s) {
      // NaN and missing values go last whatever the direction.
      const k = s.key, sign = s.desc ? -1 : 1;
      picked.sort((a, b) => {
        const x = sortValue(rows[a], k), y = sortValue(rows[b], k);
        if (x !== x) return y !== y ? a - b : 1;
        if (y !== y) return -1;
        return x === y ? a - b : sign * (x < y ? -1 : 1);
      });
    }
    state.view = Int32Array.from(picked);
    $("token-count").textContent = rows.length ? `${picked.length} of ${rows.length} tokens` : "";
    const body = $("token-table").querySelector(".grid-body");
    body.style.height = `${picked.length * ROW_HEIGHT}px`;
    renderRows();
  }

  function renderRows() {
    const table = $("token-table");
    const win = table.querySelector(".grid-window");
    const body = table.querySelector(".grid-body");
    const view = state.view;
    const offset = Math.max(0, table.scrollTop - body.offsetTop);
    const first = Math.max(0, Math.floor(offset / ROW_HEIGHT) - 10);
    const last = Math.min(view.length, Math.ceil((offset + table.clientHeight) / ROW_HEIGHT) + 10);
    win.style.transform = `translateY(${first * ROW_HEIGHT}px)`;
    const cols = columns();
    const out = [];
    for (let r = first; r < last; r++) {
      const row = state.rows[view[r]];
      const el = document.createElement("div");
      el.className = "row" + (row.text === state.selected ? " selected" : "");
      el.setAttribute("role", "row");
      el.dataset.index = String(r);
      for (const c of cols) {
        const cell = document.createElement("span");
        cell.className = "cell " + c.cls;
        if (c.key === "text") {
          cell.textContent = visible(row.text);
          cell.title = row.text;
        } else if (c.key === "count") {
          cell.textContent = state.listing ? String(row.count) : "–";
        } else {
          const v = sortValue(row, c.key);
          const missing = typeof c.key === "number" && !row.present[c.key];
          cell.textContent = missing ? "–" : formatRatio(v);
          if (!missing) cell.title = String(v);
        }
        el.appendChild(cell);
      }
      el.addEventListener("click", () => {
        state.selected = state.selected === row.text ? null : row.text;
        renderRows();
        drawScatter();
      });
      out.push(el);
    }
    win.replaceChildren(...out);
  }

  // Token texts may hold spaces only, line breaks or control characters:
  // show those so that rows stay readable.
  function visible(text) {
    if (text === "") return "⟨empty⟩";
    return text.replace(/[\u0000-\u001f\u007f]/g, (c) => `\\u{${c.codePointAt(0).toString(16)}}`);
  }

  // --- scatter ------------------------------------------------------------

  function fillComponentChoice() {
    const dim = state.listing ? state.listing.dim : 0;
    for (const [id, pick] of [["scatter-x", 0], ["scatter-y", 1]]) {
      const sel = $(id);
      const old = sel.value;
      const opts = [];
      for (let k = 0; k < dim; k++) opts.push(new Option(`component ${k + 1}`, String(k)));
      sel.replaceChildren(...opts);
      sel.value = old !== "" && +old < dim ? old : String(Math.min(pick, Math.max(dim - 1, 0)));
    }
  }

  function fillColourChoice() {
    const sel = $("scatter-colour");
    const old = sel.value;
    const opts = [new Option("none", "")];
    (state.summary || []).forEach(({ space }, s) => opts.push(new Option(space, String(s))));
    sel.replaceChildren(...opts);
    sel.value = old !== "" && +old < opts.length - 1 ? old : opts.length > 1 ? "0" : "";
  }

  // Perceptually ordered ramp, dark blue to yellow.
  const RAMP = [[68, 1, 84], [71, 44, 122], [59, 81, 139], [44, 113, 142], [33, 144, 141], [39, 173, 129], [92, 200, 99], [170, 220, 50], [253, 231, 37]];
  const BINS = 64;
  const BIN_COLOURS = Array.from({ length: BINS }, (_, i) => {
    const t = (i / (BINS - 1)) * (RAMP.length - 1);
    const k = Math.min(Math.floor(t), RAMP.length - 2), f = t - k;
    const c = RAMP[k].map((a, j) => Math.round(a + (RAMP[k + 1][j] - a) * f));
    return `rgb(${c[0]},${c[1]},${c[2]})`;
  });

  function quantile(sorted, q) {
    if (sorted.length === 0) return NaN;
    return sorted[Math.min(sorted.length - 1, Math.max(0, Math.round(q * (sorted.length - 1))))];
  }

  function drawScatter() {
    const canvas = $("scatter");
    const { ctx, w, h } = fitCanvas(canvas);
    const l = state.listing;
    scatter.drawn = 0;
    scatter.skipped = 0;
    scatter.cells = null;
    $("scatter-tip").hidden = true;
    if (!l || l.count === 0 || l.dim === 0) {
      ctx.fillStyle = COLOURS.axis;
      ctx.font = "14px sans-serif";
      ctx.fillText(l ? "The listing holds no components to plot." : "Pick a random_subspace.txt to see the tokens.", 16, 32);
      $("scatter-count").textContent = "";
      $("scatter-range").textContent = "";
      return;
    }
    const kx = +$("scatter-x").value, ky = +$("scatter-y").value, dim = l.dim;
    const n = l.count, vals = l.values;

    let x0 = Infinity, x1 = -Infinity, y0 = Infinity, y1 = -Infinity;
    for (let i = 0; i < n; i++) {
      const x = vals[i * dim + kx], y = vals[i * dim + ky];
      if (Number.isFinite(x) && Number.isFinite(y)) {
        if (x < x0) x0 = x;
        if (x > x1) x1 = x;
        if (y < y0) y0 = y;
        if (y > y1) y1 = y;
      }
    }
    if (x0 > x1) { x0 = -1; x1 = 1; y0 = -1; y1 = 1; }
    if (x0 === x1) { x0 -= 1; x1 += 1; }
    if (y0 === y1) { y0 -= 1; y1 += 1; }
    const padX = (x1 - x0) * 0.03, padY = (y1 - y0) * 0.03;
    x0 -= padX; x1 += padX; y0 -= padY; y1 += padY;
    const left = 48, right = 12, top = 12, bottom = 36;
    const px = (x) => left + ((x - x0) / (x1 - x0)) * (w - left - right);
    const py = (y) => top + ((y1 - y) / (y1 - y0)) * (h - top - bottom);

    // Axes with a few ticks.
    ctx.font = "11px sans-serif";
    ctx.fillStyle = COLOURS.axis;
    ctx.strokeStyle = COLOURS.grid;
    ctx.textAlign = "center";
    ctx.textBaseline = "top";
    for (const t of niceTicks(x0, x1, 6)) if (t >= x0 && t <= x1) {
      ctx.beginPath(); ctx.moveTo(px(t), top); ctx.lineTo(px(t), h - bottom); ctx.stroke();
      ctx.fillText(formatTick(t), px(t), h - bottom + 4);
    }
    ctx.textAlign = "right";
    ctx.textBaseline = "middle";
    for (const t of niceTicks(y0, y1, 6)) if (t >= y0 && t <= y1) {
      ctx.beginPath(); ctx.moveTo(left, py(t)); ctx.lineTo(w - right, py(t)); ctx.stroke();
      ctx.fillText(formatTick(t), left - 4, py(t));
    }
    ctx.textAlign = "center";
    ctx.textBaseline = "bottom";
    ctx.fillText(`component ${kx + 1} →   ↑ component ${ky + 1}`, w / 2, h - 2);

    // Colour of each point: the ratio of its token text in the chosen space,
    // binned over the 2nd to 98th percentile so that outliers do not flatten it.
    const s = $("scatter-colour").value === "" ? -1 : +$("scatter-colour").value;
    const ratio = new Float64Array(n).fill(NaN);
    let c0 = NaN, c1 = NaN;
    if (s >= 0 && state.byText) {
      const finite = [];
      for (let i = 0; i < n; i++) {
        const row = state.byText.get(l.texts[i]);
        if (row && row.present[s]) ratio[i] = row.ratios[s];
        if (Number.isFinite(ratio[i])) finite.push(ratio[i]);
      }
      finite.sort((a, b) => a - b);
      c0 = quantile(finite, 0.02);
      c1 = quantile(finite, 0.98);
    }
    const bin = new Int16Array(n);
    for (let i = 0; i < n; i++) {
      const r = ratio[i];
      if (s < 0) bin[i] = 0;
      else if (r !== r || c0 !== c0) bin[i] = -1;
      else if (c1 === c0) bin[i] = BINS >> 1;
      else bin[i] = Math.max(0, Math.min(BINS - 1, Math.round(((r - c0) / (c1 - c0)) * (BINS - 1))));
    }

    // Points, one fill style per bin; pixel positions kept for hovering.
    const X = new Float32Array(n), Y = new Float32Array(n);
    const order = [];
    let drawn = 0;
    for (let i = 0; i < n; i++) {
      const x = vals[i * dim + kx], y = vals[i * dim + ky];
      if (Number.isFinite(x) && Number.isFinite(y)) {
        X[i] = px(x);
        Y[i] = py(y);
        order.push(i);
        drawn += 1;
      } else {
        X[i] = Y[i] = NaN;
      }
    }
    const byBin = new Map();
    for (const i of order) {
      const b = bin[i];
      if (!byBin.has(b)) byBin.set(b, []);
      byBin.get(b).push(i);
    }
    const size = n > 20000 ? 2 : n > 2000 ? 3 : 5;
    ctx.globalAlpha = n > 20000 ? 0.6 : 0.85;
    for (const b of [...byBin.keys()].sort((a, b2) => a - b2)) {
      ctx.fillStyle = s < 0 ? COLOURS.mean : b < 0 ? COLOURS.missing : BIN_COLOURS[b];
      for (const i of byBin.get(b)) ctx.fillRect(X[i] - size / 2, Y[i] - size / 2, size, size);
    }
    ctx.globalAlpha = 1;
    if (state.selected !== null) {
      ctx.strokeStyle = "#d11";
      ctx.lineWidth = 2;
      for (const i of order) if (l.texts[i] === state.selected) {
        ctx.beginPath(); ctx.arc(X[i], Y[i], 6, 0, 2 * Math.PI); ctx.stroke();
      }
      ctx.lineWidth = 1;
    }

    scatter.drawn = drawn;
    scatter.skipped = n - drawn;
    scatter.px = X;
    scatter.py = Y;
    scatter.ratio = ratio;
    scatter.cells = gridIndex(X, Y, order, w, h);
    $("scatter-count").textContent = `${drawn} of ${n} tokens drawn` + (n > drawn ? ` (${n - drawn} without finite coordinates)` : "");
    drawRamp(s, c0, c1);
  }

  // Points bucketed by 8-px cells: hovering looks at nine cells only.
  const CELL = 8;
  function gridIndex(X, Y, order, w, h) {
    const cols = Math.ceil(w / CELL) + 1, rows = Math.ceil(h / CELL) + 1;
    const start = new Int32Array(cols * rows + 1);
    const cellOf = (i) => Math.floor(Y[i] / CELL) * cols + Math.floor(X[i] / CELL);
    for (const i of order) start[cellOf(i) + 1] += 1;
    for (let c = 0; c < cols * rows; c++) start[c + 1] += start[c];
    const fill = start.slice(0, -1);
    const items = new Int32Array(order.length);
    for (const i of order) items[fill[cellOf(i)]++] = i;
    return { cols, rows, start, items };
  }

  function nearestPoint(mx, my) {
    const g = scatter.cells;
    if (!g) return -1;
    const cx = Math.floor(mx / CELL), cy = Math.floor(my / CELL);
    let best = -1, bestD = 8 * 8;
    for (let y = cy - 1; y <= cy + 1; y++) for (let x = cx - 1; x <= cx + 1; x++) {
      if (x < 0 || y < 0 || x >= g.cols || y >= g.rows) continue;
      const c = y * g.cols + x;
      for (let k = g.start[c]; k < g.start[c + 1]; k++) {
        const i = g.items[k];
        const d = (scatter.px[i] - mx) ** 2 + (scatter.py[i] - my) ** 2;
        if (d < bestD) { bestD = d; best = i; }
      }
    }
    return best;
  }

  function drawRamp(s, c0, c1) {
    const canvas = $("scatter-ramp");
    const ctx = canvas.getContext("2d");
    ctx.clearRect(0, 0, canvas.width, canvas.height);
    const range = $("scatter-range");
    if (s < 0 || c0 !== c0) {
      canvas.hidden = true;
      range.textContent = s < 0 ? "" : "no finite ratios for these tokens";
      return;
    }
    canvas.hidden = false;
    for (let b = 0; b < BINS; b++) {
      ctx.fillStyle = BIN_COLOURS[b];
      ctx.fillRect((b * canvas.width) / BINS, 0, canvas.width / BINS + 1, canvas.height);
    }
    range.textContent = `ratio in ${state.summary[s].space}: ${formatRatio(c0)} … ${formatRatio(c1)} (2nd to 98th percentile; grey: no ratio)`;
  }

  // --- wiring -------------------------------------------------------------

  $("summary-file").addEventListener("change", (e) => e.target.files[0] && loadSummary(e.target.files[0]));
  $("listing-file").addEventListener("change", (e) => e.target.files[0] && loadListing(e.target.files[0]));

  let filterTimer = 0;
  $("token-filter").addEventListener("input", (e) => {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(() => {
      state.filter = e.target.value;
      $("token-table").scrollTop = 0;
      applyView();
    }, 120);
  });

  let frame = 0;
  $("token-table").addEventListener("scroll", () => {
    if (!frame) frame = requestAnimationFrame(() => { frame = 0; renderRows(); });
  });

  for (const id of ["scatter-x", "scatter-y", "scatter-colour"]) $(id).addEventListener("change", drawScatter);

  $("scatter").addEventListener("mousemove", (e) => {
    const rect = e.target.getBoundingClientRect();
    const i = nearestPoint(e.clientX - rect.left, e.clientY - rect.top);
    const tip = $("scatter-tip");
    if (i < 0) { tip.hidden = true; return; }
    const l = state.listing;
    const r = scatter.ratio[i];
    tip.textContent = `${visible(l.texts[i])}  line ${l.lines[i]}, layer ${l.layers[i]}` + (r === r ? `  ratio ${formatRatio(r)}` : "");
    tip.style.left = `${scatter.px[i] + 10}px`;
    tip.style.top = `${scatter.py[i] + 10}px`;
    tip.hidden = false;
  });
  $("scatter").addEventListener("mouseleave", () => { $("scatter-tip").hidden = true; });

  let resizeTimer = 0;
  window.addEventListener("resize", () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => { drawChart(); drawScatter(); renderRows(); }, 150);
  });

  drawChart();
  buildTableHead();
  drawScatter();
  document.body.dataset.summary = "empty";
  document.body.dataset.listing = "empty";
})();
