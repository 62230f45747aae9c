// Runs the viewer's parsers on cases read as JSON from standard input and
// prints the results as JSON. Numbers travel as bit patterns ("0x" + 16 hex).
"use strict";
const path = require("path");
const P = require(path.join(__dirname, "..", "..", "python", "orvelle", "parsers.js"));

function bits(v) {
  const view = new DataView(new ArrayBuffer(8));
  view.setFloat64(0, v);
  return "0x" + view.getBigUint64(0).toString(16).padStart(16, "0");
}

function run(c) {
  try {
    if (c.op === "summary") {
      return { ok: P.parseSummary(c.input).map(({ space, entries }) => [space, entries.map(([k, v]) => [k, bits(v)])]) };
    }
    if (c.op === "averages") {
      return { ok: P.spaceAverages(P.parseSummary(c.input)).map((a) => [a.space, bits(a.mean), bits(a.meanAbs), a.count]) };
    }
    if (c.op === "listing") {
      const p = P.createListingParser({ valueArray: Float64Array });
      for (const chunk of c.chunks) p.push(chunk);
      const l = p.finish();
      return { ok: { count: l.count, dim: l.dim, texts: l.texts, lines: Array.from(l.lines), layers: Array.from(l.layers), values: Array.from(l.values, bits) } };
    }
    if (c.op === "wordRatios" || c.op === "intervals" || c.op === "tests") {
      const parse = { wordRatios: P.parseWordRatios, intervals: P.parseIntervals, tests: P.parseTargetTests }[c.op];
      const rows = parse(c.input);
      const numbers = new Set(["mean", "sd", "ciLow", "ciHigh", "lo", "hi", "signAgreement", "estimate", "p", "q", "effectSize"]);
      return { ok: rows.map((r) => Object.fromEntries(Object.entries(r).map(([k, v]) => [k, numbers.has(k) && v !== null ? bits(v) : v]))) };
    }
    throw new Error("unknown op " + c.op);
  } catch (e) {
    if (!(e instanceof P.ParseError)) throw e;
    return { error: e.message };
  }
}

let input = "";
process.stdin.setEncoding("utf8");
process.stdin.on("data", (d) => (input += d));
process.stdin.on("end", () => process.stdout.write(JSON.stringify(JSON.parse(input).map(run))));
