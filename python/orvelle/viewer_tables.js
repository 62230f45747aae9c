// The tables of the viewer page: the virtual-scrolling grid and, on it, the
// tokens of the summary and the words of the measurement.
(function () {
  "use strict";

  const V = window.orvelleViewer;
  const { state, $, formatRatio, hasRange, formatInterval, quantile, drawScatter } = V;

  const ROW_HEIGHT = 26;       // px, fixed so the table can render a window of rows

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

  Object.assign(V, { tokenGrid, wordGrid, fillWordSpaceChoice, chooseWordSpace, visible });
})();
