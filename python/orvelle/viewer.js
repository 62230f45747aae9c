// The viewer page: reads a summary, a listing and a measurement's tables
// picked from disk and draws the averages, the target words, the token and
// word tables and the scatter. Everything stays in the page.
(function () {
  "use strict";

  const P = window.OrvelleParsers;
  const $ = (id) => document.getElementById(id);

  const ROW_HEIGHT = 26;       // px, fixed so the table can render a window of rows
  const CHUNK = 8 << 20;       // bytes of the listing decoded per step
  const COLOURS = { mean: "#3d6fb6", meanAbs: "#e08a2c", axis: "#555", grid: "#ddd", missing: "#b8b8b8", whisker: "#1d232b" };

  const state = {
    summary: null,     // [{space, entries}]
    averages: [],      // [{space, mean, meanAbs, count}]
    rows: [],          // [{text, ratios: Float64Array, spread, maxAbs, count}]
    listing: null,     // parsed listing
    selected: null,    // token text marked in the tables and the scatter
    ratios: null,      // word_ratios.csv rows
    wordRows: [],      // its rows of the chosen space
    wordScale: [NaN, NaN],  // value range of the interval bars
    wordKind: "",      // "", "drawn" or "target"
    intervals: null,   // intervals.csv, grouped: see groupIntervals
  };
  const chart = { bars: [], whiskers: [] };
  const differences = { rows: [] };
  const scatter = { drawn: 0, skipped: 0, px: null, py: null, cells: null };
  window.orvelleViewer = { state, chart, differences, scatter };

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
    tokenGrid.buildHead();
    tokenGrid.apply();
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
    tokenGrid.render();
    drawScatter();
  }

  // word_ratios.csv or intervals.csv, told apart by the header (by the name
  // when neither header matches, so that the error names the expected one).
  async function loadTable(file) {
    let text = "";
    let why = null;
    try {
      text = new TextDecoder("utf-8", { fatal: true }).decode(await file.arrayBuffer());
    } catch (e) {
      why = "not valid UTF-8";
    }
    const kind = P.measurementKind(text) || (/interval/i.test(file.name) ? "intervals" : "ratios");
    setStatus(kind, `reading ${file.name}…`, "loading");
    try {
      if (why) throw new P.ParseError(why);
      if (kind === "ratios") {
        const rows = P.parseWordRatios(text);
        state.ratios = rows;
        const spaces = new Set(rows.map((r) => r.space));
        setStatus(kind, `${file.name}: ${spaces.size} spaces, ${rows.length} rows`, "ready");
      } else {
        state.intervals = groupIntervals(P.parseIntervals(text));
        const iv = state.intervals;
        const targets = new Set(iv.pairs.flatMap((p) => p.rows.map((r) => r.word)));
        setStatus(kind, `${file.name}: ${iv.spaces.length} spaces, ${targets.size} target words, ${iv.draws} draws`, "ready");
      }
    } catch (e) {
      state[kind] = null;
      setStatus(kind, `${file.name}: ${e.message}`, "error");
    }
    if (kind === "ratios") {
      fillWordSpaceChoice();
      chooseWordSpace();
    } else {
      drawChart();
      fillPairChoice();
      drawDifferences();
    }
  }

  // Rows of intervals.csv by what they are about:
  //   spaces: [{space, mean, meanAbs, draws}] the rows of "mean ratio" and "mean |ratio|"
  //   pairs: [{space, other, rows}] the "target difference" rows of each pair of spaces
  //   ratio: Map space + "\0" + word -> the "target ratio" row
  function groupIntervals(rows) {
    const spaces = new Map();
    const pairs = new Map();
    const ratio = new Map();
    let draws = 0;
    for (const r of rows) {
      draws = Math.max(draws, r.draws);
      if (r.quantity === "target ratio") {
        ratio.set(r.space + "\0" + r.word, r);
      } else if (r.quantity === "target difference") {
        const key = r.space + "\0" + r.other;
        if (!pairs.has(key)) pairs.set(key, { space: r.space, other: r.other, rows: [] });
        pairs.get(key).rows.push(r);
      } else {
        if (!spaces.has(r.space)) spaces.set(r.space, { space: r.space, mean: null, meanAbs: null, draws: 0 });
        const g = spaces.get(r.space);
        g[r.quantity === "mean ratio" ? "mean" : "meanAbs"] = r;
        g.draws = Math.max(g.draws, r.draws);
      }
    }
    return { rows, draws, spaces: [...spaces.values()], pairs: [...pairs.values()], ratio };
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
    tokenGrid.sort = { key: spaces.length > 1 ? "spread" : "maxAbs", desc: true, text: false };
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

  // The bars per space: with an intervals.csv, each average's mean over the
  // draws with the central 95 % of draws as a whisker; else the averages of
  // the one analysis in the summary.
  function chartGroups() {
    const iv = state.intervals;
    if (iv && iv.spaces.length) {
      const bar = (kind, r) => ({ kind, value: r && r.mean !== null ? r.mean : NaN, lo: r ? r.lo : null, hi: r ? r.hi : null });
      return iv.spaces.map((g) => ({
        space: g.space,
        draws: g.draws,
        bars: [bar("mean", g.mean), bar("meanAbs", g.meanAbs)],
      }));
    }
    return state.averages.map((a) => ({
      space: a.space,
      draws: null,
      bars: [{ kind: "mean", value: a.mean, lo: null, hi: null }, { kind: "meanAbs", value: a.meanAbs, lo: null, hi: null }],
    }));
  }

  const hasRange = (lo, hi) => lo !== null && hi !== null && lo === lo && hi === hi;

  function formatInterval(lo, hi) {
    return hasRange(lo, hi) ? `${formatRatio(lo)} … ${formatRatio(hi)}` : "–";
  }

  // One row per space: the summary's averages and, with intervals, the means
  // over the draws with their ranges.
  function fillChartTable() {
    const table = $("chart-table");
    const iv = state.intervals && state.intervals.spaces.length ? state.intervals : null;
    const bySummary = new Map(state.averages.map((a) => [a.space, a]));
    const byDraws = new Map(iv ? iv.spaces.map((g) => [g.space, g]) : []);
    const spaces = [...new Set([...byDraws.keys(), ...bySummary.keys()])];
    const heads = ["space"];
    if (state.averages.length) heads.push("mean", "mean |ratio|", "tokens");
    if (iv) heads.push("mean over draws", "mean |ratio| over draws", "draws");
    const tr = document.createElement("tr");
    for (const h of heads) tr.appendChild(document.createElement("th")).textContent = h;
    table.tHead.replaceChildren(tr);
    const tbody = table.tBodies[0];
    tbody.replaceChildren();
    const overDraws = (r) => (!r || r.mean === null ? ["–", ""] : [
      formatRatio(r.mean) + (hasRange(r.lo, r.hi) ? ` (${formatInterval(r.lo, r.hi)})` : ""),
      String(r.mean) + (hasRange(r.lo, r.hi) ? ` (${r.lo} … ${r.hi})` : ""),
    ]);
    for (const space of spaces) {
      const cells = [[space, space]];
      const a = bySummary.get(space);
      if (state.averages.length) {
        cells.push(a ? [formatRatio(a.mean), String(a.mean)] : ["–", ""], a ? [formatRatio(a.meanAbs), String(a.meanAbs)] : ["–", ""], [a ? String(a.count) : "–", ""]);
      }
      const g = byDraws.get(space);
      if (iv) cells.push(overDraws(g && g.mean), overDraws(g && g.meanAbs), [g ? String(g.draws) : "–", ""]);
      const row = tbody.insertRow();
      for (const [text, title] of cells) {
        const td = row.insertCell();
        td.textContent = text;
        if (title) td.title = title;
      }
    }
  }

  function drawChart() {
    const canvas = $("chart");
    const { ctx, w, h } = fitCanvas(canvas);
    chart.bars = [];
    chart.whiskers = [];
    fillChartTable();
    const groups = chartGroups();
    const draws = groups.length && groups[0].draws !== null ? Math.max(...groups.map((g) => g.draws)) : null;
    $("chart-note").textContent = draws === null ? "" : `bars: mean over ${draws} draws; whiskers: central 95 % of the draws`;
    if (groups.length === 0) {
      ctx.fillStyle = COLOURS.axis;
      ctx.font = "14px sans-serif";
      ctx.fillText("Pick a calculator_summary.txt or an intervals.csv to see the averages.", 16, 32);
      return;
    }

    // Value axis over the finite averages, whisker ends and zero; infinite bars run to the edge.
    let lo = 0, hi = 0;
    for (const g of groups) for (const b of g.bars) for (const v of [b.value, b.lo, b.hi]) {
      if (v !== null && Number.isFinite(v)) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
    }
    if (hi === lo) hi = lo + 1;
    const ticks = niceTicks(lo, hi, 5);
    lo = Math.min(lo, ticks[0]);
    hi = Math.max(hi, ticks[ticks.length - 1]);
    const left = 56, right = 12, top = 22, bottom = 48;
    const plotH = h - top - bottom;
    const y = (v) => top + ((hi - Math.max(lo, Math.min(hi, v))) / (hi - lo)) * plotH;

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

    const group = (w - left - right) / groups.length;
    const barW = Math.max(2, Math.min(48, group * 0.32));
    ctx.textAlign = "center";
    groups.forEach((g, i) => {
      const cx = left + group * (i + 0.5);
      g.bars.forEach(({ kind, value: v, lo: wLo, hi: wHi }, k) => {
        const x = k === 0 ? cx - barW - 2 : cx + 2;
        let yTop = y(0), yBottom = y(0);
        if (v === v) {
          yTop = Math.min(y(v), y(0));
          yBottom = Math.max(y(v), y(0));
        }
        ctx.fillStyle = COLOURS[kind];
        ctx.fillRect(x, yTop, barW, yBottom - yTop);
        chart.bars.push({ space: g.space, kind, value: v, x, y: yTop, width: barW, height: yBottom - yTop, lo: wLo, hi: wHi, draws: g.draws });
        let labelTop = yTop, labelBottom = yBottom;
        if (hasRange(wLo, wHi)) {
          const wx = Math.round(x + barW / 2), y0 = y(wHi), y1 = y(wLo), cap = Math.max(2, Math.min(8, barW / 4));
          ctx.strokeStyle = COLOURS.whisker;
          ctx.lineWidth = 2;
          ctx.beginPath();
          ctx.moveTo(wx, y0); ctx.lineTo(wx, y1);
          ctx.moveTo(wx - cap, y0); ctx.lineTo(wx + cap, y0);
          ctx.moveTo(wx - cap, y1); ctx.lineTo(wx + cap, y1);
          ctx.stroke();
          ctx.lineWidth = 1;
          chart.whiskers.push({ space: g.space, kind, lo: wLo, hi: wHi, x: wx, top: y0, bottom: y1 });
          labelTop = Math.min(labelTop, y0 - 1);
          labelBottom = Math.max(labelBottom, y1 + 1);
        }
        ctx.fillStyle = COLOURS.axis;
        ctx.textBaseline = v < 0 ? "top" : "bottom";
        ctx.fillText(formatRatio(v), x + barW / 2, v < 0 ? labelBottom + 2 : labelTop - 2);
      });
      ctx.textBaseline = "top";
      ctx.fillStyle = "#222";
      ctx.fillText(ellipsize(ctx, g.space, group - 6), cx, h - bottom + 8);
      if (g.draws !== null) {
        ctx.fillStyle = COLOURS.axis;
        ctx.font = "11px sans-serif";
        ctx.fillText(`${g.draws} draws`, cx, h - bottom + 25);
        ctx.font = "12px sans-serif";
      }
    });
    ctx.strokeStyle = COLOURS.axis;
    ctx.beginPath();
    ctx.moveTo(left, y(0));
    ctx.lineTo(w - right, y(0));
    ctx.stroke();
  }

  // Target words of one pair of spaces, a row each: the mean difference of the
  // word's ratio over the draws as a dot, the central 95 % of draws as a
  // whisker and, at the right, how many draws agree on the sign.
  function fillPairChoice() {
    const sel = $("diff-pair");
    const old = sel.value;
    const pairs = state.intervals ? state.intervals.pairs : [];
    sel.replaceChildren(...pairs.map((p, i) => new Option(`${p.space} − ${p.other}`, String(i))));
    sel.value = old !== "" && +old < pairs.length ? old : pairs.length ? "0" : "";
    sel.disabled = pairs.length < 2;
  }

  function agreementText(r) {
    const f = r.signAgreement;
    if (f === null || f !== f) return "–";
    const k = f * r.draws;
    return Math.abs(k - Math.round(k)) < 1e-6 ? `${Math.round(k)}/${r.draws}` : `${(100 * f).toFixed(0)} %`;
  }

  function drawDifferences() {
    const canvas = $("diff-chart");
    const iv = state.intervals;
    const pair = iv && $("diff-pair").value !== "" ? iv.pairs[+$("diff-pair").value] : null;
    const rows = pair ? pair.rows : [];
    const ROW = 24, top = 30, bottom = 30;
    canvas.style.height = `${rows.length ? top + rows.length * ROW + bottom : 80}px`;
    const { ctx, w } = fitCanvas(canvas);
    differences.rows = [];
    fillDifferenceTable(pair);
    if (!pair) {
      ctx.fillStyle = COLOURS.axis;
      ctx.font = "14px sans-serif";
      ctx.fillText(iv ? "The intervals hold no target words." : "Pick an intervals.csv to see the target words.", 16, 32);
      return;
    }
    ctx.font = "12px sans-serif";
    const labelW = Math.min(200, Math.max(...rows.map((r) => ctx.measureText(visible(r.word)).width)));
    const left = labelW + 20, right = 80;
    let x0 = 0, x1 = 0;
    for (const r of rows) for (const v of [r.mean, r.lo, r.hi]) {
      if (v !== null && Number.isFinite(v)) { x0 = Math.min(x0, v); x1 = Math.max(x1, v); }
    }
    if (x0 === x1) x1 = x0 + 1;
    const ticks = niceTicks(x0, x1, 6);
    x0 = Math.min(x0, ticks[0]);
    x1 = Math.max(x1, ticks[ticks.length - 1]);
    const x = (v) => left + ((Math.max(x0, Math.min(x1, v)) - x0) / (x1 - x0)) * (w - left - right);
    const bottomY = top + rows.length * ROW;

    ctx.textAlign = "center";
    ctx.textBaseline = "top";
    for (const t of ticks) {
      ctx.strokeStyle = t === 0 ? COLOURS.axis : COLOURS.grid;
      ctx.beginPath(); ctx.moveTo(x(t), top); ctx.lineTo(x(t), bottomY); ctx.stroke();
      ctx.fillStyle = COLOURS.axis;
      ctx.fillText(formatTick(t), x(t), bottomY + 5);
    }
    ctx.textBaseline = "bottom";
    ctx.textAlign = "left";
    ctx.fillText(`← higher in ${pair.other}`, left, top - 8);
    ctx.textAlign = "right";
    ctx.fillText(`higher in ${pair.space} →`, w - right, top - 8);
    ctx.fillText("same sign", w - 4, top - 8);

    ctx.textBaseline = "middle";
    rows.forEach((r, i) => {
      const yc = Math.round(top + (i + 0.5) * ROW);
      ctx.fillStyle = "#222";
      ctx.textAlign = "right";
      ctx.fillText(ellipsize(ctx, visible(r.word), labelW), left - 10, yc);
      const rec = { word: r.word, mean: r.mean, lo: r.lo, hi: r.hi, signAgreement: r.signAgreement, draws: r.draws, y: yc, x: NaN, x0: NaN, x1: NaN, agreement: agreementText(r) };
      if (hasRange(r.lo, r.hi)) {
        const a = x(r.lo), b = x(r.hi);
        ctx.strokeStyle = COLOURS.whisker;
        ctx.lineWidth = 2;
        ctx.beginPath();
        ctx.moveTo(a, yc); ctx.lineTo(b, yc);
        ctx.moveTo(a, yc - 5); ctx.lineTo(a, yc + 5);
        ctx.moveTo(b, yc - 5); ctx.lineTo(b, yc + 5);
        ctx.stroke();
        ctx.lineWidth = 1;
        Object.assign(rec, { x0: a, x1: b });
      }
      if (r.mean !== null && r.mean === r.mean) {
        rec.x = x(r.mean);
        ctx.fillStyle = COLOURS.mean;
        ctx.beginPath(); ctx.arc(rec.x, yc, 4.5, 0, 2 * Math.PI); ctx.fill();
      }
      ctx.fillStyle = COLOURS.axis;
      ctx.fillText(rec.agreement, w - 4, yc);
      differences.rows.push(rec);
    });
  }

  function fillDifferenceTable(pair) {
    const table = $("diff-table");
    table.hidden = !pair;
    const tbody = table.tBodies[0];
    tbody.replaceChildren();
    if (!pair) return;
    const heads = ["word", "difference", "95 % of draws", "same sign", `ratio in ${pair.space}`, `ratio in ${pair.other}`];
    const tr = document.createElement("tr");
    for (const h of heads) tr.appendChild(document.createElement("th")).textContent = h;
    table.tHead.replaceChildren(tr);
    const ratio = (space, word) => {
      const r = state.intervals.ratio.get(space + "\0" + word);
      return !r || r.mean === null ? "–" : formatRatio(r.mean) + (hasRange(r.lo, r.hi) ? ` (${formatInterval(r.lo, r.hi)})` : "");
    };
    for (const r of pair.rows) {
      const row = tbody.insertRow();
      const cells = [visible(r.word), r.mean === null ? "–" : formatRatio(r.mean), formatInterval(r.lo, r.hi), agreementText(r),
        ratio(pair.space, r.word), ratio(pair.other, r.word)];
      for (const text of cells) row.insertCell().textContent = text;
      row.cells[1].title = String(r.mean);
    }
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

  // --- tables -------------------------------------------------------------

  // A sortable, filterable table that renders only the rows in view (files
  // may hold 100 000 of them): the body is as tall as all rows and a window
  // of row elements moves in it. The model gives
  //   columns(): [{key, label, cls ("text" sorts as text, "num"), width?, title?, sortable?}]
  //   rows(), keep(row, needle): which rows the filter leaves
  //   value(row, key): what a column sorts by, a string or a number (NaN last)
  //   fill(cell, row, column), selected(row), click(row), counted(shown, all)
  function createGrid(id, countId, model) {
    const table = $(id);
    const head = table.querySelector(".grid-head");
    const body = table.querySelector(".grid-body");
    const win = table.querySelector(".grid-window");
    const collator = new Intl.Collator(undefined, { sensitivity: "variant" });
    const grid = { view: new Int32Array(0), sort: null, filter: "" };

    grid.buildHead = () => {
      const cols = model.columns();
      table.style.setProperty("--columns", cols.map((c) => c.width || (c.cls === "text" ? "minmax(12em, 2fr)" : "minmax(7.5em, 1fr)")).join(" "));
      head.replaceChildren(...cols.map((c) => {
        const b = document.createElement("button");
        b.type = "button";
        b.className = "cell " + c.cls;
        b.dataset.key = String(c.key);
        const s = grid.sort;
        b.textContent = c.label + (s && s.key === c.key ? (s.desc ? " ▼" : " ▲") : "");
        if (c.sortable === false) {
          b.disabled = true;
          if (c.title) b.title = c.title;
          return b;
        }
        b.title = c.title || `sort by ${c.label}`;
        b.addEventListener("click", () => {
          const same = s && s.key === c.key;
          grid.sort = { key: c.key, desc: same ? !s.desc : c.cls !== "text", text: c.cls === "text" };
          grid.buildHead();
          grid.apply();
        });
        return b;
      }));
    };

    grid.apply = () => {
      const rows = model.rows();
      const needle = grid.filter.toLowerCase();
      const picked = [];
      for (let i = 0; i < rows.length; i++) if (model.keep(rows[i], needle)) picked.push(i);
      const s = grid.sort;
      if (s && s.text) {
        picked.sort((a, b) => (s.desc ? -1 : 1) * collator.compare(model.value(rows[a], s.key), model.value(rows[b], s.key)) || a - b);
      } else if (s) {
        // NaN and missing values go last whatever the direction.
        const k = s.key, sign = s.desc ? -1 : 1;
        picked.sort((a, b) => {
          const x = model.value(rows[a], k), y = model.value(rows[b], k);
          if (x !== x) return y !== y ? a - b : 1;
          if (y !== y) return -1;
          return x === y ? a - b : sign * (x < y ? -1 : 1);
        });
      }
      grid.view = Int32Array.from(picked);
      $(countId).textContent = model.counted(picked.length, rows.length);
      body.style.height = `${picked.length * ROW_HEIGHT}px`;
      grid.render();
    };

    grid.render = () => {
      const rows = model.rows();
      const view = grid.view;
      const offset = Math.max(0, table.scrollTop - body.offsetTop);
      const first = Math.max(0, Math.floor(offset / ROW_HEIGHT) - 10);
      const last = Math.min(view.length, Math.ceil((offset + table.clientHeight) / ROW_HEIGHT) + 10);
      win.style.transform = `translateY(${first * ROW_HEIGHT}px)`;
      const cols = model.columns();
      const out = [];
      for (let r = first; r < last; r++) {
        const row = rows[view[r]];
        const el = document.createElement("div");
        el.className = "row" + (model.selected(row) ? " selected" : "");
        el.setAttribute("role", "row");
        el.dataset.index = String(r);
        for (const c of cols) {
          const cell = document.createElement("span");
          cell.className = "cell " + c.cls;
          model.fill(cell, row, c);
          el.appendChild(cell);
        }
        el.addEventListener("click", () => model.click(row));
        out.push(el);
      }
      win.replaceChildren(...out);
    };

    let frame = 0;
    table.addEventListener("scroll", () => {
      if (!frame) frame = requestAnimationFrame(() => { frame = 0; grid.render(); });
    });
    return grid;
  }

  function select(text) {
    state.selected = state.selected === text ? null : text;
    tokenGrid.render();
    wordGrid.render();
    drawScatter();
  }

  // The tokens of the summary: a column per space, then spread and max |ratio|.
  function tokenColumns() {
    const cols = [{ key: "text", label: "token", cls: "text" }, { key: "count", label: "in listing", cls: "num" }];
    (state.summary || []).forEach(({ space }, s) => cols.push({ key: s, label: space, cls: "num", title: `sort by the ratio in ${space}` }));
    cols.push({ key: "spread", label: "spread", cls: "num" }, { key: "maxAbs", label: "max |ratio|", cls: "num" });
    return cols;
  }

  function sortValue(row, key) {
    if (key === "spread") return row.spread;
    if (key === "maxAbs") return row.maxAbs;
    if (key === "count") return row.count;
    return row.present[key] ? row.ratios[key] : NaN;
  }

  const tokenGrid = createGrid("token-table", "token-count", {
    columns: tokenColumns,
    rows: () => state.rows,
    keep: (row, needle) => !needle || row.text.toLowerCase().includes(needle),
    value: (row, key) => (key === "text" ? row.text : sortValue(row, key)),
    fill(cell, row, c) {
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
    },
    selected: (row) => row.text === state.selected,
    click: (row) => select(row.text),
    counted: (shown, all) => (all ? `${shown} of ${all} tokens` : ""),
  });

  // The words of word_ratios.csv in the chosen space.
  const WORD_COLUMNS = [
    { key: "word", label: "word", cls: "text", width: "minmax(8em, 1.5fr)" },
    { key: "kind", label: "kind", cls: "text", width: "6em" },
    { key: "count", label: "count", cls: "num", width: "5.5em" },
    { key: "mean", label: "mean", cls: "num", width: "minmax(6em, 1fr)" },
    { key: "sd", label: "sd", cls: "num", width: "minmax(6em, 1fr)" },
    { key: "ci", label: "95 % interval", cls: "num", width: "minmax(11em, 1.6fr)", title: "sort by the width of the 95 % interval of the mean" },
    { key: "bar", label: "on a common scale", cls: "bar", width: "minmax(10em, 3fr)", sortable: false, title: "the 95 % interval (whisker) and the mean (dot) on a common scale" },
  ];

  const orNaN = (v) => (v === null ? NaN : v);

  const wordGrid = createGrid("word-table", "word-count", {
    columns: () => WORD_COLUMNS,
    rows: () => state.wordRows,
    keep: (row, needle) => (!state.wordKind || row.kind === state.wordKind) && (!needle || row.word.toLowerCase().includes(needle)),
    value(row, key) {
      if (key === "word" || key === "kind") return row[key];
      if (key === "ci") return orNaN(row.ciHigh) - orNaN(row.ciLow);
      return orNaN(row[key]);
    },
    fill(cell, row, c) {
      const k = c.key;
      if (k === "word") {
        cell.textContent = visible(row.word);
        cell.title = row.word;
      } else if (k === "kind" || k === "count") {
        cell.textContent = String(row[k]);
      } else if (k === "ci") {
        cell.textContent = formatInterval(row.ciLow, row.ciHigh);
        if (row.ciLow !== null) cell.title = `${row.ciLow} … ${row.ciHigh}`;
      } else if (k === "bar") {
        fillIntervalBar(cell, row);
      } else {
        cell.textContent = row[k] === null ? "–" : formatRatio(row[k]);
        if (row[k] !== null) cell.title = String(row[k]);
      }
    },
    selected: (row) => row.word === state.selected,
    click: (row) => select(row.word),
    counted: (shown, all) => (all ? `${shown} of ${all} words` : ""),
  });
  wordGrid.sort = { key: "mean", desc: true, text: false };

  // Whisker from ci_low to ci_high and a dot at the mean, placed on the
  // space's common scale; ends beyond it run to the edge.
  function fillIntervalBar(cell, row) {
    const [a, b] = state.wordScale;
    if (!(a < b)) return;
    const at = (v) => Math.max(0, Math.min(100, ((v - a) / (b - a)) * 100));
    const box = document.createElement("span");
    box.className = "ci";
    const mark = (cls, left, width) => {
      const m = box.appendChild(document.createElement("span"));
      m.className = cls;
      m.style.left = `${left}%`;
      if (width !== undefined) m.style.width = `${width}%`;
    };
    if (a < 0 && b > 0) mark("ci-zero", at(0));
    if (hasRange(row.ciLow, row.ciHigh)) mark("ci-line", at(row.ciLow), at(row.ciHigh) - at(row.ciLow));
    if (row.mean !== null && row.mean === row.mean) mark("ci-dot", at(row.mean));
    cell.appendChild(box);
  }

  function fillWordSpaceChoice() {
    const sel = $("word-space");
    const old = sel.value;
    const spaces = state.ratios ? [...new Set(state.ratios.map((r) => r.space))] : [];
    sel.replaceChildren(...spaces.map((s) => new Option(s, s)));
    sel.value = spaces.includes(old) ? old : spaces.length ? spaces[0] : "";
  }

  // The rows of the chosen space, and a bar scale over their interval ends
  // from the 2nd to the 98th percentile, so that the wide intervals of rare
  // words do not flatten the rest.
  function chooseWordSpace() {
    const space = $("word-space").value;
    state.wordRows = state.ratios ? state.ratios.filter((r) => r.space === space) : [];
    const ends = [];
    for (const r of state.wordRows) for (const v of [r.ciLow, r.ciHigh, r.mean]) if (v !== null && Number.isFinite(v)) ends.push(v);
    ends.sort((x, y) => x - y);
    let a = quantile(ends, 0.02), b = quantile(ends, 0.98);
    if (a === b) { a -= 1; b += 1; }
    state.wordScale = [a, b];
    $("word-scale").textContent = a === a ? `Bars run from ${formatRatio(a)} to ${formatRatio(b)} (2nd to 98th percentile of the space's values).` : "";
    $("word-table").scrollTop = 0;
    wordGrid.buildHead();
    wordGrid.apply();
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
  $("measure-files").addEventListener("change", async (e) => {
    for (const file of e.target.files) await loadTable(file);
  });

  for (const [input, table, grid] of [["token-filter", "token-table", tokenGrid], ["word-filter", "word-table", wordGrid]]) {
    let timer = 0;
    $(input).addEventListener("input", (e) => {
      clearTimeout(timer);
      timer = setTimeout(() => {
        grid.filter = e.target.value;
        $(table).scrollTop = 0;
        grid.apply();
      }, 120);
    });
  }
  $("word-space").addEventListener("change", chooseWordSpace);
  $("word-kind").addEventListener("change", (e) => {
    state.wordKind = e.target.value;
    $("word-table").scrollTop = 0;
    wordGrid.apply();
  });
  $("diff-pair").addEventListener("change", drawDifferences);

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
    resizeTimer = setTimeout(() => { drawChart(); drawDifferences(); drawScatter(); tokenGrid.render(); wordGrid.render(); }, 150);
  });

  drawChart();
  drawDifferences();
  tokenGrid.buildHead();
  wordGrid.buildHead();
  drawScatter();
  for (const which of ["summary", "listing", "ratios", "intervals"]) document.body.dataset[which] = "empty";
})();
