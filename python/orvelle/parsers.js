// Readers of the files an analysis leaves behind: the random-subspace listing
// (random_subspace.txt), the summary (calculator_summary.txt) and the tables
// of a measurement over several draws (word_ratios.csv, intervals.csv,
// target_tests.csv).
// Plain script: defines OrvelleParsers in the page, module.exports in node.
(function (root) {
  "use strict";

  const SUMMARY_LABEL = "ideal_similarity: ";

  class ParseError extends Error {}

  // --- summary ------------------------------------------------------------

  // The summary is one line: the label, then the bias table rendered as
  // {"space": {"token": ratio, ...}, ...} with escaped texts and shortest
  // round-trip numbers. Returns [{space, entries: [[token, ratio], ...]}] in
  // file order (which is the writer's hash-table order, nothing more).
  function parseSummary(text) {
    if (!text.startsWith(SUMMARY_LABEL)) {
      throw new ParseError('summary: expected the label "ideal_similarity: " at the start');
    }
    const p = new Cursor(text, SUMMARY_LABEL.length);
    const spaces = p.table(() => p.table(() => p.number()));
    if (p.text.startsWith("\n", p.pos)) p.pos += 1;
    if (p.pos !== p.text.length) p.fail("end of file after the table");
    return spaces.map(([space, entries]) => ({ space, entries }));
  }

  class Cursor {
    constructor(text, pos) {
      this.text = text;
      this.pos = pos;
    }

    fail(what) {
      const near = JSON.stringify(this.text.slice(this.pos, this.pos + 20));
      throw new ParseError(`summary: expected ${what} at character ${this.pos}, found ${near}`);
    }

    expect(s) {
      if (!this.text.startsWith(s, this.pos)) this.fail(JSON.stringify(s));
      this.pos += s.length;
    }

    // {key: value, key: value}
    table(value) {
      const entries = [];
      this.expect("{");
      if (this.text[this.pos] === "}") {
        this.pos += 1;
        return entries;
      }
      for (;;) {
        const key = this.string();
        this.expect(": ");
        entries.push([key, value()]);
        if (this.text[this.pos] === "}") {
          this.pos += 1;
          return entries;
        }
        this.expect(", ");
      }
    }

    string() {
      const t = this.text;
      this.expect('"');
      let out = "";
      let start = this.pos;
      for (;;) {
        const i = this.pos;
        if (i >= t.length) this.fail('a closing "');
        const c = t[i];
        if (c === '"') {
          out += t.slice(start, i);
          this.pos = i + 1;
          return out;
        }
        if (c !== "\\") {
          this.pos = i + 1;
          continue;
        }
        out += t.slice(start, i);
        const e = t[i + 1];
        const simple = ESCAPES[e];
        if (simple !== undefined) {
          out += simple;
          this.pos = i + 2;
        } else if (e === "u") {
          const m = /^u\{([0-9a-fA-F]{1,6})\}/.exec(t.slice(i + 1, i + 11));
          const cp = m ? parseInt(m[1], 16) : -1;
          if (cp < 0 || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            this.pos = i;
            this.fail("an escape \\u{hex} of a Unicode scalar value");
          }
          out += String.fromCodePoint(cp);
          this.pos = i + 1 + m[0].length;
        } else {
          this.pos = i;
          this.fail("an escape (\\\" \\\\ \\n \\r \\t \\0 \\' \\u{...})");
        }
        start = this.pos;
      }
    }

    number() {
      NUMBER.lastIndex = this.pos;
      const m = NUMBER.exec(this.text);
      if (!m) this.fail("a number");
      this.pos += m[0].length;
      return toNumber(m[0]);
    }
  }

  const ESCAPES = { '"': '"', "\\": "\\", n: "\n", r: "\r", t: "\t", "0": "\0", "'": "'" };
  // NaN, inf, -inf, 1.0, -0.0, 1e-5, 1.2345e-5, 1e16
  const NUMBER = /NaN|-?inf|-?[0-9]+(?:\.[0-9]+)?(?:e-?[0-9]+)?/y;

  function toNumber(s) {
    if (s === "inf") return Infinity;
    if (s === "-inf") return -Infinity;
    if (s === "NaN") return NaN;
    return Number(s);  // correctly rounded: shortest digits read back exactly
  }

  // Mean and mean of absolute values of each space's ratios, summed in file
  // order from +0.0. An empty space gives NaN (0 / 0).
  function spaceAverages(summary) {
    return summary.map(({ space, entries }) => {
      let sum = 0;
      let abs = 0;
      for (const [, v] of entries) {
        sum += v;
        abs += Math.abs(v);
      }
      return { space, mean: sum / entries.length, meanAbs: abs / entries.length, count: entries.length };
    });
  }

  // --- listing ------------------------------------------------------------

  // One token per line: "text line layer v1,v2,...," where the text itself may
  // hold spaces, so the line is split from the right. Fed in chunks of text
  // (a listing of 100 000 tokens x 512 components is about 1 GB, more than
  // one string may hold); components are kept as 32-bit floats, enough to
  // plot (options.valueArray: Float64Array keeps them exact). finish() returns
  //   {count, dim, texts: [..], lines: Float64Array, layers: Float64Array,
  //    values: Float32Array (count * dim, row-major)}
  function createListingParser(options) {
    const Values = (options && options.valueArray) || Float32Array;
    let rest = "";
    let lineNo = 0;
    let count = 0;
    let dim = -1;
    const texts = [];
    let lines = new Float64Array(1024);
    let layers = new Float64Array(1024);
    let values = new Values(0);

    function grow(need) {
      if (need <= lines.length) return;
      const cap = Math.max(need, lines.length * 2);
      const l = new Float64Array(cap);
      l.set(lines);
      lines = l;
      const y = new Float64Array(cap);
      y.set(layers);
      layers = y;
      if (dim > 0) {
        const v = new Values(cap * dim);
        v.set(values);
        values = v;
      }
    }

    function fail(what) {
      throw new ParseError(`random subspace listing, line ${lineNo}: ${what}`);
    }

    function index(s, name) {
      if (!/^[0-9]+$/.test(s)) fail(`${name} ${JSON.stringify(s)} is not an unsigned integer`);
      return Number(s);
    }

    function parseLine(line) {
      lineNo += 1;
      const s3 = line.lastIndexOf(" ");
      const s2 = s3 > 0 ? line.lastIndexOf(" ", s3 - 1) : -1;
      const s1 = s2 > 0 ? line.lastIndexOf(" ", s2 - 1) : -1;
      if (s1 < 0) fail('expected "text line layer v1,v2,...,"');
      const field = line.slice(s3 + 1);
      const parts = field.split(",");
      if (parts.pop() !== "") fail("the values must end with a comma");
      if (dim < 0) {
        dim = parts.length;
        values = new Values(lines.length * dim);
      } else if (parts.length !== dim) {
        fail(`${parts.length} values where earlier lines have ${dim}`);
      }
      grow(count + 1);
      lines[count] = index(line.slice(s1 + 1, s2), "line index");
      layers[count] = index(line.slice(s2 + 1, s3), "layer index");
      texts.push(line.slice(0, s1));
      const base = count * dim;
      for (let k = 0; k < dim; k++) {
        const p = parts[k];
        let v = Number(p);
        if (v !== v || p.length === 0) {
          if (p === "NaN") v = NaN;
          else if (p === "inf") v = Infinity;
          else if (p === "-inf") v = -Infinity;
          else fail(`value ${k + 1} ${JSON.stringify(p)} is not a number`);
        }
        values[base + k] = v;
      }
      count += 1;
    }

    return {
      push(chunk) {
        const text = rest + chunk;
        let start = 0;
        for (;;) {
          const nl = text.indexOf("\n", start);
          if (nl < 0) break;
          parseLine(text.slice(start, nl));
          start = nl + 1;
        }
        rest = text.slice(start);
      },
      finish() {
        if (rest.length > 0) parseLine(rest);  // last line without its line feed
        rest = "";
        const d = Math.max(dim, 0);
        return {
          count,
          dim: d,
          texts,
          lines: lines.slice(0, count),
          layers: layers.slice(0, count),
          values: values.slice(0, count * d),
        };
      },
    };
  }

  function parseListing(text, options) {
    const p = createListingParser(options);
    p.push(text);
    return p.finish();
  }

  // --- measurement tables (CSV) --------------------------------------------

  const WORD_RATIO_COLUMNS = ["space", "word", "kind", "count", "mean", "sd", "ci_low", "ci_high"];
  const INTERVAL_COLUMNS = ["quantity", "space", "other", "word", "draws", "mean", "lo", "hi", "sign_agreement"];
  const TEST_COLUMNS = ["word", "space", "other", "estimate", "ci_low", "ci_high", "p", "q", "effect_size", "tokens", "lines"];
  const KINDS = ["drawn", "target"];
  const QUANTITIES = ["mean ratio", "mean |ratio|", "target ratio", "target difference"];
  const TABLES = [
    { kind: "ratios", file: "word_ratios.csv", columns: WORD_RATIO_COLUMNS },
    { kind: "intervals", file: "intervals.csv", columns: INTERVAL_COLUMNS },
    { kind: "tests", file: "target_tests.csv", columns: TEST_COLUMNS },
  ];

  // Which table a text holds, by its header: "ratios", "intervals", "tests" or null.
  function measurementKind(text) {
    const end = text.indexOf("\n");
    const first = (end < 0 ? text : text.slice(0, end)).replace(/^\ufeff/, "").replace(/\r$/, "");
    const t = TABLES.find((t) => first === t.columns.join(","));
    return t ? t.kind : null;
  }

  // RFC 4180 records: fields split at commas; a field in double quotes may
  // hold commas, line breaks and doubled quotes; records end in \r\n or \n.
  // The first record must be the header `columns`; blank lines carry nothing.
  // Returns [{line, fields}] for the records after it, line counted from 1.
  function readCsv(text, name, columns) {
    const n = text.length;
    let pos = text.charCodeAt(0) === 0xfeff ? 1 : 0;
    let line = 1;
    const fail = (at, what) => {
      throw new ParseError(`${name}, line ${at}: ${what}`);
    };
    const records = [];
    while (pos < n) {
      const start = line;
      if (text[pos] === "\n" || (text[pos] === "\r" && text[pos + 1] === "\n")) {
        pos += text[pos] === "\n" ? 1 : 2;
        line += 1;
        continue;
      }
      const fields = [];
      for (;;) {
        if (text[pos] === '"') {
          let field = "";
          let from = pos + 1;
          for (;;) {
            const q = text.indexOf('"', from);
            if (q < 0) fail(start, "a quoted field is not closed before the end of the file");
            field += text.slice(from, q);
            if (text[q + 1] !== '"') {
              pos = q + 1;
              break;
            }
            field += '"';
            from = q + 2;
          }
          for (let i = field.indexOf("\n"); i >= 0; i = field.indexOf("\n", i + 1)) line += 1;
          fields.push(field);
        } else {
          UNQUOTED.lastIndex = pos;
          UNQUOTED.exec(text);
          fields.push(text.slice(pos, UNQUOTED.lastIndex));
          pos = UNQUOTED.lastIndex;
        }
        const c = text[pos];
        if (c === ",") {
          pos += 1;
        } else if (pos >= n || c === "\n" || (c === "\r" && text[pos + 1] === "\n")) {
          pos += c === "\r" ? 2 : 1;
          line += 1;
          break;
        } else if (c === '"') {
          fail(line, "a quote inside an unquoted field (a field holding quotes must be quoted whole)");
        } else {
          fail(line, `expected a comma or a line end after a quoted field, found ${JSON.stringify(text.slice(pos, pos + 10))}`);
        }
      }
      if (!records.header) {
        const got = fields.join(",");
        if (got !== columns.join(",")) {
          const other = TABLES.find((t) => t.columns.join(",") === got);
          fail(start, `expected the header "${columns.join(",")}", found ${JSON.stringify(got.slice(0, 120))}` +
            (other ? ` (the header of ${other.file})` : ""));
        }
        records.header = fields;
        continue;
      }
      if (fields.length !== columns.length) {
        fail(start, `${fields.length} fields where the header has ${columns.length}`);
      }
      records.push({ line: start, fields });
    }
    if (!records.header) fail(1, `empty file: expected the header "${columns.join(",")}"`);
    return records;
  }

  const UNQUOTED = /[^,"\r\n]*(?:\r(?!\n)[^,"\r\n]*)*/y;
  // Python's repr of a float: 0.1, -0.0, 1e-05, 1.5e+16; and nan, inf, -inf.
  const REPR = /^-?[0-9]+(?:\.[0-9]+)?(?:e[+-]?[0-9]+)?$/;
  const SPECIAL = { nan: NaN, inf: Infinity, "-inf": -Infinity };

  // A number cell: empty is null, else Python's repr of a float.
  function csvNumber(s, name, line, column) {
    if (s === "") return null;
    if (REPR.test(s)) return Number(s);  // correctly rounded: the shortest digits read back exactly
    if (Object.hasOwn(SPECIAL, s)) return SPECIAL[s];
    throw new ParseError(`${name}, line ${line}: ${column} ${JSON.stringify(s)} is not a number`);
  }

  function csvCount(s, name, line, column) {
    if (/^[0-9]+$/.test(s)) return Number(s);
    throw new ParseError(`${name}, line ${line}: ${column} ${JSON.stringify(s)} is not an unsigned integer`);
  }

  // word_ratios.csv: per seed space, one row per drawn token text and one per
  // target word. Returns [{space, word, kind, count, mean, sd, ciLow, ciHigh}]
  // in file order; an empty number is null (undefined for few occurrences).
  function parseWordRatios(text) {
    const name = "word ratios";
    return readCsv(text, name, WORD_RATIO_COLUMNS).map(({ line, fields }) => {
      const [space, word, kind, count, mean, sd, lo, hi] = fields;
      if (!KINDS.includes(kind)) {
        throw new ParseError(`${name}, line ${line}: kind ${JSON.stringify(kind)} is neither "drawn" nor "target"`);
      }
      return {
        space,
        word,
        kind,
        count: csvCount(count, name, line, "count"),
        mean: csvNumber(mean, name, line, "mean"),
        sd: csvNumber(sd, name, line, "sd"),
        ciLow: csvNumber(lo, name, line, "ci_low"),
        ciHigh: csvNumber(hi, name, line, "ci_high"),
      };
    });
  }

  // intervals.csv: quantities over the draws. Returns [{quantity, space,
  // other, word, draws, mean, lo, hi, signAgreement}] in file order; other and
  // word are null where the quantity has none, empty numbers are null.
  function parseIntervals(text) {
    const name = "intervals";
    return readCsv(text, name, INTERVAL_COLUMNS).map(({ line, fields }) => {
      const [quantity, space, other, word, draws, mean, lo, hi, agreement] = fields;
      if (!QUANTITIES.includes(quantity)) {
        throw new ParseError(`${name}, line ${line}: unknown quantity ${JSON.stringify(quantity)}`);
      }
      return {
        quantity,
        space,
        other: quantity === "target difference" ? other : null,
        word: quantity.startsWith("target") ? word : null,
        draws: csvCount(draws, name, line, "draws"),
        mean: csvNumber(mean, name, line, "mean"),
        lo: csvNumber(lo, name, line, "lo"),
        hi: csvNumber(hi, name, line, "hi"),
        signAgreement: csvNumber(agreement, name, line, "sign_agreement"),
      };
    });
  }

  // target_tests.csv: per pair of spaces and target word, the difference with
  // its 95 % confidence interval, p, q and effect size. Returns [{word, space,
  // other, estimate, ciLow, ciHigh, p, q, effectSize, tokens, lines}] in file
  // order; an empty number (undefined) is null.
  function parseTargetTests(text) {
    const name = "target tests";
    return readCsv(text, name, TEST_COLUMNS).map(({ line, fields }) => {
      const [word, space, other, estimate, lo, hi, p, q, effect, tokens, lines] = fields;
      const num = (s, column) => csvNumber(s, name, line, column);
      return {
        word, space, other,
        estimate: num(estimate, "estimate"),
        ciLow: num(lo, "ci_low"),
        ciHigh: num(hi, "ci_high"),
        p: num(p, "p"),
        q: num(q, "q"),
        effectSize: num(effect, "effect_size"),
        tokens: csvCount(tokens, name, line, "tokens"),
        lines: csvCount(lines, name, line, "lines"),
      };
    });
  }

  const api = {
    parseSummary, spaceAverages, createListingParser, parseListing,
    measurementKind, parseWordRatios, parseIntervals, parseTargetTests, ParseError,
  };
  if (typeof module === "object" && module.exports) module.exports = api;
  else root.OrvelleParsers = api;
})(this);
