#!/usr/bin/env python3
"""Renders docs/viewer.png: the viewer page in headless Chromium with a made-up
analysis of realistic size and shape (3 seed-word spaces, 4000 random tokens
of 512 components) and a made-up measurement of it over 10 draws. Needs what
scripts/install_browser.sh installs."""
import csv
import functools
import itertools
import http.server
import math
import random
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from viewer_formats import listing_text, summary_text  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

WORDS = """doctor nurse engineer teacher lawyer secretary pilot dancer mechanic librarian surgeon
receptionist programmer hairdresser carpenter nanny scientist homemaker farmer designer chef cashier
manager assistant soldier singer plumber writer banker clerk firefighter maid boss model judge
baker captain painter professor student driver guard waiter waitress king queen actor actress
father mother brother sister uncle aunt son daughter husband wife man woman boy girl gentleman lady
the a of and to in is was for on with as by at from that this it be are were his her their
city house school car team game music food water money world country night morning year day
strong gentle brave kind smart beautiful tough caring logical emotional quiet loud new york""".split()


def make(tmp: Path):
    rng = random.Random(11)
    lean = {w: rng.uniform(-1, 1) for w in WORDS}  # a made-up association with he (+) or she (-)
    for w, g in {"father": 0.9, "mother": -0.9, "king": 0.8, "queen": -0.8, "nurse": -0.7, "engineer": 0.6,
                 "secretary": -0.6, "mechanic": 0.7, "nanny": -0.8, "his": 0.9, "her": -0.9, "brother": 0.85,
                 "son": 0.8, "uncle": 0.8, "husband": 0.85, "man": 0.9, "boy": 0.85, "gentleman": 0.8,
                 "sister": -0.85, "daughter": -0.8, "aunt": -0.8, "wife": -0.85, "woman": -0.9, "girl": -0.85,
                 "lady": -0.8, "actor": 0.6, "actress": -0.7, "waiter": 0.4, "waitress": -0.7, "maid": -0.8}.items():
        lean[w] = g
    for w in ["the", "a", "of", "and", "to", "in", "is", "city", "water", "year"]:
        lean[w] = rng.uniform(-0.1, 0.1)
    tokens = []
    for i in range(4000):
        w = rng.choice(WORDS)
        g = lean[w]
        vec = [2.2 * g + rng.gauss(0, 0.6), 1.5 * math.sin(3 * g) + rng.gauss(0, 0.8)]
        vec += [rng.gauss(0, 1) for _ in range(510)]
        tokens.append((w, i // 2, 12, vec))
    bias = {
        "Space of he": {w: 1 + 0.55 * lean[w] + rng.gauss(0, 0.08) for w in WORDS},
        "Space of she": {w: 1 - 0.55 * lean[w] + rng.gauss(0, 0.08) for w in WORDS},
        "Space of they": {w: 0.92 + rng.gauss(0, 0.12) for w in WORDS},
    }
    (tmp / "calculator_summary.txt").write_text(summary_text(bias))
    (tmp / "random_subspace.txt").write_text(listing_text(tokens))
    make_measurement(tmp, rng, bias, [t[0] for t in tokens])


TARGETS = ["doctor", "nurse", "engineer", "secretary", "teacher", "mechanic", "scientist", "homemaker"]
DRAWS = 10


def t975(df: int) -> float:
    """Student t 97.5 % quantile, Cornish-Fisher expansion: close enough for made-up data."""
    z = 1.959963984540054
    return z + (z**3 + z) / (4 * df) + (5 * z**5 + 16 * z**3 + 3 * z) / (96 * df**2)


def make_measurement(tmp: Path, rng: random.Random, bias: dict, drawn: list):
    """word_ratios.csv and intervals.csv as measure(...).save() writes them."""
    def stats(xs):
        n = len(xs)
        if n < 2:
            return [n, xs[0] if xs else "", "", "", ""]
        m, sd = statistics.fmean(xs), statistics.stdev(xs)
        h = t975(n - 1) * sd / math.sqrt(n)
        return [n, m, sd, m - h, m + h]

    def spread(values):
        """Mean over the draws and the central 95 % of them, linearly interpolated."""
        return [float(np.mean(values)), *np.quantile(values, [0.025, 0.975]).tolist()]

    counts = {w: drawn.count(w) for w in dict.fromkeys(drawn)}
    with open(tmp / "word_ratios.csv", "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f)
        out.writerow("space,word,kind,count,mean,sd,ci_low,ci_high".split(","))
        for space, ratios in bias.items():
            for kind, words in [("drawn", counts), ("target", {w: 3 * counts[w] for w in TARGETS})]:
                for w, n in words.items():
                    out.writerow([space, w, kind, *stats([ratios[w] + rng.gauss(0, 0.18) for _ in range(n)])])

    # Per draw: another random subspace shifts a space's ratios as a whole and each word's a little.
    per_draw = []
    for _ in range(DRAWS):
        shift = {s: rng.gauss(0, 0.04) for s in bias}
        per_draw.append({s: {w: r + shift[s] + rng.gauss(0, 0.06) for w, r in ratios.items()} for s, ratios in bias.items()})
    with open(tmp / "intervals.csv", "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f)
        out.writerow("quantity,space,other,word,draws,mean,lo,hi,sign_agreement".split(","))
        for s in bias:
            out.writerow(["mean ratio", s, "", "", DRAWS, *spread([statistics.fmean(d[s].values()) for d in per_draw]), ""])
        for s in bias:
            out.writerow(["mean |ratio|", s, "", "", DRAWS, *spread([statistics.fmean(map(abs, d[s].values())) for d in per_draw]), ""])
        for s, w in itertools.product(bias, TARGETS):
            out.writerow(["target ratio", s, "", w, DRAWS, *spread([d[s][w] for d in per_draw]), ""])
        for (s, o), w in itertools.product(itertools.combinations(bias, 2), TARGETS):
            diffs = [d[s][w] - d[o][w] for d in per_draw]
            mean = statistics.fmean(diffs)
            agree = sum(math.copysign(1, x) == math.copysign(1, mean) for x in diffs) / DRAWS
            out.writerow(["target difference", s, o, w, DRAWS, *spread(diffs), agree])


def main():
    out = ROOT / "docs" / "viewer.png"
    out.parent.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory() as t:
        tmp = Path(t)
        make(tmp)
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass
        handler = functools.partial(Quiet, directory=str(ROOT / "python" / "orvelle"))
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,3340",
                    "--force-device-scale-factor=1", "--hide-scrollbars"]:
            options.add_argument(arg)
        d = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            d.get(f"http://127.0.0.1:{server.server_port}/")
            for which in ["summary", "listing"]:
                d.find_element(By.ID, f"{which}-file").send_keys(str(tmp / f"{'calculator_summary' if which == 'summary' else 'random_subspace'}.txt"))
                WebDriverWait(d, 60).until(lambda d: d.execute_script(f"return document.body.dataset.{which}") == "ready")
            d.find_element(By.ID, "measure-files").send_keys(f"{tmp / 'word_ratios.csv'}\n{tmp / 'intervals.csv'}")
            WebDriverWait(d, 60).until(lambda d: d.execute_script(
                "return document.body.dataset.ratios === 'ready' && document.body.dataset.intervals === 'ready'"))
            Select(d.find_element(By.ID, "scatter-colour")).select_by_visible_text("Space of he")
            d.find_element(By.CSS_SELECTOR, "#token-table .grid-window .row").click()
            time.sleep(0.3)
            d.save_screenshot(str(out))
        finally:
            d.quit()
            server.shutdown()
    print(out)


if __name__ == "__main__":
    main()
