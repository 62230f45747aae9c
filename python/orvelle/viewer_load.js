// Loading of the files picked in the viewer page into the page's shared
// state: a summary, a listing and a measurement's tables. The charts, the
// tables and the page's wiring come in the scripts loaded after this one, on
// the same window.orvelleViewer; what they define is looked up there when called.
(function () {
  "use strict";

  const P = window.OrvelleParsers;
  const $ = (id) => document.getElementById(id);

  const CHUNK = 8 << 20;       // bytes of the listing decoded per step

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
    tests: null,       // target_tests.csv: {rows, byPair: Map space + "\0" + other + "\0" + word -> row}
  };
  const V = (window.orvelleViewer = { state, $ });

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
    V.drawChart();
    V.fillColourChoice();
    V.tokenGrid.buildHead();
    V.tokenGrid.apply();
    V.drawScatter();
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
    V.fillComponentChoice();
    V.tokenGrid.render();
    V.drawScatter();
  }

  // word_ratios.csv, intervals.csv or target_tests.csv, told apart by the
  // header (by the name when no header matches, so that the error names the
  // expected one).
  async function loadTable(file) {
    let text = "";
    let why = null;
    try {
      text = new TextDecoder("utf-8", { fatal: true }).decode(await file.arrayBuffer());
    } catch (e) {
      why = "not valid UTF-8";
    }
    const kind = P.measurementKind(text) ||
      (/interval/i.test(file.name) ? "intervals" : /test/i.test(file.name) ? "tests" : "ratios");
    setStatus(kind, `reading ${file.name}…`, "loading");
    try {
      if (why) throw new P.ParseError(why);
      if (kind === "ratios") {
        const rows = P.parseWordRatios(text);
        state.ratios = rows;
        const spaces = new Set(rows.map((r) => r.space));
        setStatus(kind, `${file.name}: ${spaces.size} spaces, ${rows.length} rows`, "ready");
      } else if (kind === "tests") {
        const rows = P.parseTargetTests(text);
        const byPair = new Map(rows.map((r) => [r.space + "\0" + r.other + "\0" + r.word, r]));
        state.tests = { rows, byPair };
        const found = rows.filter((r) => r.q !== null && r.q < 0.05).length;
        setStatus(kind, `${file.name}: ${rows.length} tests, ${found} with q < 0.05`, "ready");
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
      V.fillWordSpaceChoice();
      V.chooseWordSpace();
    } else {
      if (kind === "intervals") V.drawChart();
      V.fillPairChoice();
      V.drawDifferences();
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
    V.tokenGrid.sort = { key: spaces.length > 1 ? "spread" : "maxAbs", desc: true, text: false };
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

  Object.assign(V, { loadSummary, loadListing, loadTable });
})();
