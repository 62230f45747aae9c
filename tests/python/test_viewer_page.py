"""The viewer page in headless Chromium, served the way visualize() serves it.

Needs Debian's chromium and chromium-driver and the selenium package:
scripts/install_browser.sh installs them.
"""
import functools
import http.server
import math
import os
import random
import shutil
import threading
from pathlib import Path

import pytest

from viewer_formats import listing_text, summary_text

PAGE_DIR = Path(__file__).resolve().parents[2] / "python" / "orvelle"
DATA = Path(__file__).with_name("data")
CHROMIUM = next((p for p in (shutil.which("chromium"), "/usr/bin/chromium") if p and os.path.exists(p)), None)
DRIVER = shutil.which("chromedriver") or ("/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

missing = [name for name, ok in [("chromium", CHROMIUM), ("chromium-driver", DRIVER), ("selenium", webdriver)] if not ok]
pytestmark = pytest.mark.skipif(
    bool(missing), reason=f"headless browser test needs {', '.join(missing)}: run scripts/install_browser.sh")

# The two fixtures in data/, as literal tables: summary order, then the listing.
HE = [1.0416666666666667, 0.5, -0.25, 1e-5, 2.0, -1.2345e-5, 0.125]
SHE = [0.75, 1.5, -0.0, 0.30000000000000004, -1.0, 0.0001, -0.5]
LISTING_LINES = 9      # one has an infinite first component
BAR_COLOURS = {"mean": (0x3d, 0x6f, 0xb6), "meanAbs": (0xe0, 0x8a, 0x2c)}


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def base_url():
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(PAGE_DIR)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_port}/"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def driver():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,2000", "--force-device-scale-factor=1"]:
        options.add_argument(arg)
    d = webdriver.Chrome(service=Service(DRIVER), options=options)
    yield d
    d.quit()


@pytest.fixture
def page(driver, base_url):
    driver.get(base_url)  # the server's root address, as the browser tab opens it
    WebDriverWait(driver, 10).until(lambda d: d.execute_script("return document.body.dataset.summary") == "empty")
    return driver


def load(page, summary=None, listing=None, timeout=120):
    for which, path in [("summary", summary), ("listing", listing)]:
        if path is None:
            continue
        page.find_element(By.ID, f"{which}-file").send_keys(str(path))
        WebDriverWait(page, timeout).until(
            lambda d: d.execute_script(f"return document.body.dataset.{which}") in ("ready", "error"))
    return page


def js(page, expr):
    return page.execute_script("return " + expr)


def table_rows(page, n=None):
    rows = js(page, "[...document.querySelectorAll('#token-table .grid-window .row')]"
                    ".map(r => [...r.children].map(c => c.textContent))")
    return rows if n is None else rows[:n]


def pixel(page, canvas_id, x, y):
    return tuple(js(page, f"""(() => {{
        const c = document.getElementById('{canvas_id}');
        const r = devicePixelRatio;
        return [...c.getContext('2d').getImageData(Math.round({x} * r), Math.round({y} * r), 1, 1).data].slice(0, 3);
    }})()"""))


def mean(values):
    total = 0.0
    for v in values:
        total += v
    return total / len(values)


def test_page_shows_averages_tokens_and_scatter(page, tmp_path):
    load(page, DATA / "calculator_summary.txt", DATA / "random_subspace.txt")
    assert js(page, "document.body.dataset.summary") == "ready"
    assert js(page, "document.getElementById('listing-status').textContent") == \
        "random_subspace.txt: 9 tokens, 3 components"

    bars = js(page, "window.orvelleViewer.chart.bars")
    assert [(b["space"], b["kind"], b["value"]) for b in bars] == [
        ("Space of he", "mean", mean(HE)),
        ("Space of he", "meanAbs", mean([abs(v) for v in HE])),
        ("Space of she", "mean", mean(SHE)),
        ("Space of she", "meanAbs", mean([abs(v) for v in SHE])),
    ]
    # Bars stand on a common zero line, their heights in proportion to the values.
    assert len({round(b["y"] + b["height"], 6) for b in bars}) == 1
    per_unit = [b["height"] / b["value"] for b in bars]
    assert max(per_unit) == pytest.approx(min(per_unit), rel=1e-9)
    for b in bars:
        got = pixel(page, "chart", b["x"] + b["width"] / 2, b["y"] + b["height"] / 2)
        assert got == BAR_COLOURS[b["kind"]], b

    # Most biased first: sorted by the spread of a token's ratios over the spaces.
    assert table_rows(page, 4) == [
        ["back\\slash", "1", "2.0000", "-1.0000", "3.0000", "2.0000"],
        ["nurse", "2", "0.5000", "1.5000", "1.0000", "1.5000"],
        ["tab\\u{9}here", "1", "0.1250", "-0.5000", "0.6250", "0.5000"],
        ['say "hi"', "1", "1.000e-5", "0.3000", "0.3000", "0.3000"],
    ]
    assert js(page, "document.getElementById('token-count').textContent") == "7 of 7 tokens"

    assert js(page, "window.orvelleViewer.scatter.drawn") == LISTING_LINES - 1
    assert js(page, "window.orvelleViewer.scatter.skipped") == 1
    page.save_screenshot(str(tmp_path / "viewer.png"))


def test_table_sorts_and_filters(page):
    load(page, DATA / "calculator_summary.txt")
    heading = lambda label: next(b for b in page.find_elements(By.CSS_SELECTOR, "#token-table .grid-head .cell")
                                 if b.text.startswith(label))
    tokens = lambda: [r[0] for r in table_rows(page)]

    heading("Space of she").click()
    assert tokens() == ["nurse", "doctor", 'say "hi"', "cafe\u0301", "new york", "tab\\u{9}here", "back\\slash"]
    heading("Space of she").click()
    assert tokens()[0] == "back\\slash"
    heading("token").click()
    assert tokens()[:3] == ["back\\slash", "cafe\u0301", "doctor"]

    page.find_element(By.ID, "token-filter").send_keys("A")  # any case
    WebDriverWait(page, 5).until(lambda d: len(table_rows(d)) == 4)
    assert tokens() == ["back\\slash", "cafe\u0301", 'say "hi"', "tab\\u{9}here"]
    assert js(page, "document.getElementById('token-count').textContent") == "4 of 7 tokens"


def test_scatter_follows_chosen_components_and_space(page):
    load(page, DATA / "calculator_summary.txt", DATA / "random_subspace.txt")
    Select(page.find_element(By.ID, "scatter-x")).select_by_visible_text("component 3")
    # Now the token with NaN in component 3 drops out and the one with inf in component 1 comes in.
    assert js(page, "window.orvelleViewer.scatter.drawn") == LISTING_LINES - 1
    assert js(page, "[...window.orvelleViewer.scatter.px].filter(Number.isNaN).length") == 1
    Select(page.find_element(By.ID, "scatter-colour")).select_by_visible_text("Space of she")
    assert "ratio in Space of she" in js(page, "document.getElementById('scatter-range').textContent")
    # Each token's colour comes from its text's ratio in that space.
    ratios = js(page, "[...window.orvelleViewer.scatter.ratio]")
    assert ratios[:3] == [0.75, 1.5, -0.0]


def test_edge_values_and_empty_space(page, tmp_path):
    summary = tmp_path / "calculator_summary.txt"
    summary.write_text(summary_text({
        "Space of x": {"nan": math.nan, "one": 1.0},
        "Space of y": {"nan": -math.inf, "one": 2.0},
        "Space of z": {},
    }))
    load(page, summary)
    bars = js(page, "window.orvelleViewer.chart.bars.map(b => [b.space, b.kind, String(b.value)])")
    assert bars == [["Space of x", "mean", "NaN"], ["Space of x", "meanAbs", "NaN"],
                    ["Space of y", "mean", "-Infinity"], ["Space of y", "meanAbs", "Infinity"],
                    ["Space of z", "mean", "NaN"], ["Space of z", "meanAbs", "NaN"]]
    # A NaN spread sorts last; missing ratios show as a dash.
    assert table_rows(page) == [["one", "–", "1.0000", "2.0000", "–", "1.0000", "2.0000"],
                                ["nan", "–", "NaN", "-inf", "–", "NaN", "NaN"]]


@pytest.mark.parametrize("which, content, message", [
    ("summary", '{"a": {}}\n', 'expected the label "ideal_similarity: "'),
    ("summary", 'ideal_similarity: {"a": {"b": 1.0,}}\n', 'expected ", "'),
    ("listing", "he 3 12 0.5,1\n", "line 1: the values must end with a comma"),
    ("listing", "he 3 12 0.5,\nshe 3 x 0.5,\n", 'line 2: layer index "x"'),
])
def test_unreadable_files_are_reported(page, tmp_path, which, content, message):
    path = tmp_path / f"{which}.txt"
    path.write_text(content)
    load(page, **{which: path})
    assert js(page, f"document.body.dataset.{which}") == "error"
    assert message in js(page, f"document.getElementById('{which}-status').textContent")


def test_hundred_thousand_tokens_render_a_window(page, tmp_path):
    n, dim = 100_000, 4
    rng = random.Random(7)
    texts = [f"tok{i}" for i in range(n)]
    summary = tmp_path / "calculator_summary.txt"
    listing = tmp_path / "random_subspace.txt"
    summary.write_text(summary_text({
        "Space of he": {t: (i % 1000) / 64 for i, t in enumerate(texts)},
        "Space of she": {t: -(i % 1000) / 128 for i, t in enumerate(texts)},
    }))
    listing.write_text(listing_text(
        (t, i, 12, [rng.randrange(-512, 512) / 64 for _ in range(dim)]) for i, t in enumerate(texts)))
    load(page, summary, listing)
    assert js(page, "window.orvelleViewer.scatter.drawn") == n
    assert js(page, "document.getElementById('token-count').textContent") == f"{n} of {n} tokens"
    assert len(table_rows(page)) < 100
    assert table_rows(page, 1)[0][0] == "tok999"   # largest spread: 999/64 + 999/128

    page.execute_script("const t = document.getElementById('token-table'); t.scrollTop = t.scrollHeight;")
    WebDriverWait(page, 5).until(lambda d: js(d, "document.querySelector('#token-table .row:last-child').dataset.index") == str(n - 1))
    assert len(table_rows(page)) < 100


def test_output_of_a_real_analysis(page, tmp_path):
    orvelle = pytest.importorskip("orvelle")
    rng = random.Random(3)
    words = ["he", "him", "she", "her", "doctor", "nurse", "engineer", "teacher", "the", "a", "new york"]
    features = tmp_path / "features.jsonl"
    with features.open("w") as f:
        for line in range(120):
            feats = [{"token": "\u0120" + rng.choice(words),
                      "layers": [{"index": 12, "values": [rng.gauss(0, 1) for _ in range(520)]}]}
                     for _ in range(4)]
            f.write(__import__("json").dumps({"linex_index": line, "features": feats}) + "\n")
    try:
        calc = orvelle.calculator(str(features), [["he", "him"], ["she", "her"]],
                                  subspace_folder_path=str(tmp_path), user_friendly=False)
    except BaseException as e:  # noqa: BLE001  PanicException derives from BaseException
        if "not built yet" in str(e):
            pytest.skip("calculator() is not built yet in this version")
        raise
    calc.save_summary(str(tmp_path))
    load(page, tmp_path / "calculator_summary.txt", tmp_path / "random_subspace.txt")
    assert js(page, "[document.body.dataset.summary, document.body.dataset.listing]") == ["ready", "ready"]

    bars = js(page, "window.orvelleViewer.chart.bars")
    means, abs_means = calc.bias_sum_average(), calc.bias_asb_sum_average()
    assert {b["space"] for b in bars} == set(means)
    for b in bars:
        want = (means if b["kind"] == "mean" else abs_means)[b["space"]]
        assert b["value"] == pytest.approx(want, rel=1e-12, abs=1e-300)

    listed = (tmp_path / "random_subspace.txt").read_text().splitlines()
    assert len(listed) == 96  # 0.8 x 120 lines
    assert js(page, "window.orvelleViewer.scatter.drawn") + js(page, "window.orvelleViewer.scatter.skipped") == 96
    spreads = [float(r[-2]) for r in table_rows(page) if r[-2] != "NaN"]
    assert spreads == sorted(spreads, reverse=True)
    page.save_screenshot(str(tmp_path / "viewer.png"))


# The measurement fixtures in data/: the words of Space of he as the table
# shows them, by mean, largest first; the last column holds the interval bar.
WORDS_OF_HE = [
    ["⟨empty⟩", "drawn", "2", "1.3000", "0.1414", "0.0294 … 2.5706", ""],
    ["engineer", "target", "4", "1.2875", "0.0943", "1.1375 … 1.4375", ""],
    ["doctor", "drawn", "3", "1.1600", "0.1345", "0.8258 … 1.4942", ""],
    ['say "hi"', "drawn", "2", "1.0000", "0.1414", "-0.2706 … 2.2706", ""],
    ["new, york", "drawn", "1", "0.9800", "–", "–", ""],
    ["nurse", "drawn", "2", "0.6650", "0.0636", "0.0932 … 1.2368", ""],
    ["line\\u{a}break", "drawn", "1", "0.5000", "–", "–", ""],
    ["unicorn", "target", "0", "–", "–", "–", ""],
]
WHISKER = (0x1d, 0x23, 0x2b)


def pick_tables(page, *paths, kinds=("ratios", "intervals")):
    page.find_element(By.ID, "measure-files").send_keys("\n".join(map(str, paths)))
    WebDriverWait(page, 60).until(lambda d: all(
        js(d, f"document.body.dataset.{k}") in ("ready", "error") for k in kinds))


def word_rows(page):
    return js(page, "[...document.querySelectorAll('#word-table .grid-window .row')]"
                    ".map(r => [...r.children].map(c => c.textContent))")


def test_measurement_shows_words_and_whiskers(page, tmp_path):
    # Told apart by their headers, whatever the files are called.
    (tmp_path / "a.csv").write_bytes((DATA / "intervals.csv").read_bytes())
    (tmp_path / "b.csv").write_bytes((DATA / "word_ratios.csv").read_bytes())
    load(page, DATA / "calculator_summary.txt")
    pick_tables(page, tmp_path / "a.csv", tmp_path / "b.csv")
    assert js(page, "[...document.querySelectorAll('.status')].slice(2, 4).map(s => s.textContent)") == [
        "b.csv: 2 spaces, 16 rows", "a.csv: 2 spaces, 3 target words, 10 draws"]

    assert word_rows(page) == WORDS_OF_HE
    assert js(page, "document.querySelectorAll('#word-table .row .ci-line').length") == 5  # rows with an interval
    for _ in range(2):  # smallest sd first; words without one stay last
        next(b for b in page.find_elements(By.CSS_SELECTOR, "#word-table .grid-head .cell") if b.text.startswith("sd")).click()
    assert [r[0] for r in word_rows(page)] == [
        "nurse", "engineer", "doctor", "⟨empty⟩", 'say "hi"', "new, york", "line\\u{a}break", "unicorn"]
    Select(page.find_element(By.ID, "word-space")).select_by_visible_text("Space of she")
    Select(page.find_element(By.ID, "word-kind")).select_by_visible_text("target")
    assert [r[:4] for r in word_rows(page)] == [["engineer", "target", "4", "0.7125"], ["unicorn", "target", "0", "–"]]
    assert js(page, "document.getElementById('word-count').textContent") == "2 of 8 words"

    # Averages over the draws with their ranges; the summary's own stay in the table.
    bars = js(page, "window.orvelleViewer.chart.bars.map(b => [b.space, b.kind, b.value, b.lo, b.hi])")
    assert bars == [["Space of he", "mean", 1.0412, 0.9871, 1.0938], ["Space of he", "meanAbs", 1.0731, 1.0244, 1.1307],
                    ["Space of she", "mean", 0.9634, 0.9102, 1.0195], ["Space of she", "meanAbs", 1.0019, 0.9486, 1.0562]]
    whiskers = js(page, "window.orvelleViewer.chart.whiskers")
    assert len(whiskers) == 4
    for w in whiskers:
        assert pixel(page, "chart", w["x"], (w["top"] + w["bottom"]) / 2) == WHISKER, w
    assert js(page, "[...document.querySelectorAll('#chart-table th')].map(t => t.textContent)") == [
        "space", "mean", "mean |ratio|", "tokens", "mean over draws", "mean |ratio| over draws", "draws"]
    assert "mean over 10 draws" in js(page, "document.getElementById('chart-note').textContent")

    diffs = js(page, "window.orvelleViewer.differences.rows")
    assert [(d["word"], d["mean"], d["agreement"]) for d in diffs] == [
        ("engineer", 0.575, "10/10"), ("nurse", -0.5727, "9/10"), ("unicorn", None, "–")]
    for d in diffs[:2]:
        assert d["x0"] < d["x"] < d["x1"]
        assert pixel(page, "diff-chart", d["x0"] + 3, d["y"]) == WHISKER, d
    page.save_screenshot(str(tmp_path / "viewer.png"))


CI_BAND, FOUND = (0xa9, 0xc4, 0xe8), (0xc0, 0x39, 0x2b)


@pytest.mark.parametrize("with_intervals", [True, False])
def test_target_tests_show_intervals_and_mark_findings(page, tmp_path, with_intervals):
    tables = [DATA / "intervals.csv"] if with_intervals else []
    pick_tables(page, *tables, DATA / "target_tests.csv", kinds=["tests"] + (["intervals"] if with_intervals else []))
    assert js(page, "document.getElementById('tests-status').textContent") == "target_tests.csv: 3 tests, 1 with q < 0.05"
    diffs = js(page, "window.orvelleViewer.differences.rows")
    assert [(d["word"], d["mean"], d["found"]) for d in diffs] == [
        ("engineer", 0.575, True), ("nurse", -0.5727, False), ("unicorn", None, False)]
    for d in diffs[:2]:
        assert d["ci0"] < d["x"] < d["ci1"]
        assert pixel(page, "diff-chart", d["ci0"] + 2, d["y"] - 6) == CI_BAND, d
    assert pixel(page, "diff-chart", diffs[0]["x"], diffs[0]["y"]) == FOUND
    heads = js(page, "[...document.querySelectorAll('#diff-table th')].map(t => t.textContent)")
    assert heads[-5:] == ["95 % confidence interval", "p", "q", "effect size", "lines"]
    cells = js(page, "[...document.querySelectorAll('#diff-table tbody tr')].map(r => [r.className, ...[...r.cells].slice(-4).map(c => c.textContent)])")
    assert cells == [["found", "4.0e-4", "8.0e-4", "1.90", "4"], ["", "0.070", "0.070", "-1.10", "2"], ["", "–", "–", "–", "0"]]


@pytest.mark.parametrize("name, content, which, message", [
    ("word_ratios.csv", "space,word\r\n", "ratios", 'line 1: expected the header "space,word,kind,'),
    ("intervals.csv", "x,y\r\n", "intervals", 'line 1: expected the header "quantity,space,'),
    ("mine.csv", "quantity,space,other,word,draws,mean,lo,hi,sign_agreement\r\nmean ratio,\"s,,,10,1.0,,,\r\n",
     "intervals", "line 2: a quoted field is not closed"),
])
def test_unreadable_tables_are_reported(page, tmp_path, name, content, which, message):
    path = tmp_path / name
    path.write_bytes(content.encode())
    pick_tables(page, path, kinds=[which])
    assert js(page, f"document.body.dataset.{which}") == "error"
    assert message in js(page, f"document.getElementById('{which}-status').textContent")
