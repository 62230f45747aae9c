// The viewer page: reads a summary, a listing and a measurement's tables
// picked from disk and draws the averages, the target words, the token and
// word tables and the scatter. Everything stays in the page. This script,
// loaded last, wires the page to what the others put on window.orvelleViewer
// and draws it empty.
(function () {
  "use strict";

  const {
    state, $, scatter, loadSummary, loadListing, loadTable, drawChart, drawDifferences, drawScatter, nearestPoint,
    formatRatio, tokenGrid, wordGrid, chooseWordSpace, visible,
  } = window.orvelleViewer;

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
  for (const which of ["summary", "listing", "ratios", "intervals", "tests"]) document.body.dataset[which] = "empty";
})();
