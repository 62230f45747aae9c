// The charts of the viewer page: the averages per space, the target words'
// differences between two spaces and the scatter of the listing's tokens.
// V.visible comes from viewer_tables.js, loaded after this one.
(function () {
  "use strict";

  const V = window.orvelleViewer;
  const { state, $ } = V;

  const COLOURS = { mean: "#3d6fb6", meanAbs: "#e08a2c", axis: "#555", grid: "#ddd", missing: "#b8b8b8", whisker: "#1d232b",
    ci: "#a9c4e8", found: "#c0392b" };

  const chart = { bars: [], whiskers: [] };
  const differences = { rows: [] };
  const scatter = { drawn: 0, skipped: 0, px: null, py: null, cells: null };

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
  // whisker and, at the right, how many draws agree on the sign. With a
  // target_tests.csv, the 95 % confidence interval as a band behind, and the
  // dot in red where q < 0.05.
  const FOUND = 0.05;

  // The pairs of intervals.csv, or of target_tests.csv when it came alone;
  // every row with its test (or null).
  function differencePairs() {
    const tests = state.tests;
    let pairs = state.intervals ? state.intervals.pairs : [];
    if (!pairs.length && tests) {
      const byKey = new Map();
      for (const t of tests.rows) {
        const key = t.space + "\0" + t.other;
        if (!byKey.has(key)) byKey.set(key, { space: t.space, other: t.other, rows: [] });
        byKey.get(key).rows.push({ word: t.word, mean: t.estimate, lo: null, hi: null, signAgreement: null, draws: 0 });
      }
      pairs = [...byKey.values()];
    }
    const testOf = (p, r) => (tests && tests.byPair.get(p.space + "\0" + p.other + "\0" + r.word)) || null;
    return pairs.map((p) => ({ ...p, rows: p.rows.map((r) => ({ ...r, test: testOf(p, r) })) }));
  }

  function fillPairChoice() {
    const sel = $("diff-pair");
    const old = sel.value;
    const pairs = differencePairs();
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
    const iv = state.intervals || state.tests;
    const pair = iv && $("diff-pair").value !== "" ? differencePairs()[+$("diff-pair").value] : null;
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
    const labelW = Math.min(200, Math.max(...rows.map((r) => ctx.measureText(V.visible(r.word)).width)));
    const left = labelW + 20, right = 80;
    let x0 = 0, x1 = 0;
    for (const r of rows) for (const v of [r.mean, r.lo, r.hi, ...(r.test ? [r.test.ciLow, r.test.ciHigh] : [])]) {
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
      ctx.fillText(ellipsize(ctx, V.visible(r.word), labelW), left - 10, yc);
      const t = r.test;
      const found = !!t && t.q !== null && t.q < FOUND;
      const rec = { word: r.word, mean: r.mean, lo: r.lo, hi: r.hi, signAgreement: r.signAgreement, draws: r.draws, y: yc, x: NaN, x0: NaN, x1: NaN,
        agreement: agreementText(r), ci0: NaN, ci1: NaN, q: t ? t.q : null, found };
      if (t && hasRange(t.ciLow, t.ciHigh)) {
        rec.ci0 = x(t.ciLow);
        rec.ci1 = x(t.ciHigh);
        ctx.fillStyle = COLOURS.ci;
        ctx.fillRect(rec.ci0, yc - 7, Math.max(rec.ci1 - rec.ci0, 1), 14);
      }
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
        ctx.fillStyle = found ? COLOURS.found : COLOURS.mean;
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
    const tested = !!state.tests;
    const heads = ["word", "difference", "95 % of draws", "same sign", `ratio in ${pair.space}`, `ratio in ${pair.other}`,
      ...(tested ? ["95 % confidence interval", "p", "q", "effect size", "lines"] : [])];
    const tr = document.createElement("tr");
    for (const h of heads) tr.appendChild(document.createElement("th")).textContent = h;
    table.tHead.replaceChildren(tr);
    const ratio = (space, word) => {
      const r = state.intervals && state.intervals.ratio.get(space + "\0" + word);
      return !r || r.mean === null ? "–" : formatRatio(r.mean) + (hasRange(r.lo, r.hi) ? ` (${formatInterval(r.lo, r.hi)})` : "");
    };
    const number = (v, f) => (v === null || v !== v ? "–" : f(v));
    const pValue = (v) => (v < 1e-3 ? v.toExponential(1) : v.toFixed(3));
    for (const r of pair.rows) {
      const row = tbody.insertRow();
      const t = r.test;
      const cells = [V.visible(r.word), r.mean === null ? "–" : formatRatio(r.mean), formatInterval(r.lo, r.hi), agreementText(r),
        ratio(pair.space, r.word), ratio(pair.other, r.word)];
      if (tested) {
        cells.push(t ? formatInterval(t.ciLow, t.ciHigh) : "–", number(t && t.p, pValue), number(t && t.q, pValue),
          number(t && t.effectSize, (v) => v.toFixed(2)), t ? String(t.lines) : "–");
      }
      for (const text of cells) row.insertCell().textContent = text;
      row.cells[1].title = String(r.mean);
      if (t && t.q !== null && t.q < FOUND) row.classList.add("found");
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

  Object.assign(V, {
    chart, differences, scatter, formatRatio, hasRange, formatInterval, quantile,
    drawChart, fillPairChoice, drawDifferences, fillComponentChoice, fillColourChoice, drawScatter, nearestPoint,
  });
})();
