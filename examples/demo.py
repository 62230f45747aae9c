"""The main job on the bundled example: the bias of a random sample of tokens against the seed
groups he,him and she,her over 10 random draws, then the he - she difference of the occupations
that one sex clearly dominates (80 % or more of those employed in them, occupations.tsv), from the
most female to the most male. Run from this folder (make demo does).

Equivalent command:
    python -m orvelle features.jsonl.zst --seeds he,him --seeds she,her --ratio 6 \\
        --exclude '<s>' '</s>' . , he him she her --targets hygienist,secretary,...,plumber --out out
"""

import csv
import json
import sys

from orvelle.cli import main

# 920 lines: 6 per line draws 5 520 of the 8 488 eligible tokens, about 11 per component of the
# random space; each draw still leaves out a third of them.
RATIO = 6
# Sentence markers and punctuation stand in every line; the seed words are what the random
# tokens are compared with, not part of the sample.
EXCLUDE = ["<s>", "</s>", ".", ",", "he", "him", "she", "her"]
DOMINATED = 80.0

with open("occupations.tsv", encoding="utf-8") as f:
    share = {r["occupation"]: float(r["bls_pct_female"])
             for r in csv.DictReader((line for line in f if not line.startswith("#")), delimiter="\t")}
targets = sorted((w for w, s in share.items() if s >= DOMINATED or s <= 100 - DOMINATED), key=lambda w: -share[w])
with open("seeds.json", encoding="utf-8") as f:
    groups = json.load(f)

argv = ["features.jsonl.zst", "--ratio", str(RATIO), "--out", "out", "--exclude", *EXCLUDE,
        "--targets", ",".join(targets)]
for g in groups:
    argv += ["--seeds", ",".join(g)]
sys.exit(main(argv))
