"""The main job on the bundled example: the bias of a random sample of tokens against the seed
groups he,him and she,her over 10 random draws, and the he - she difference of a few occupation
words, as tables. Run from this folder (make demo does).

Equivalent command:
    python -m orvelle features.jsonl --seeds he,him --seeds she,her --ratio 16 \
        --exclude '<s>' '</s>' . --targets nurse,secretary,librarian,engineer,mechanic,carpenter \
        --out out
"""

import json
import sys

from orvelle.cli import main

# 40 lines: the default ratio of 0.8 would draw 32 tokens, far too few for the random space,
# which is reduced again to 512 components. 16 per line draws 640 of the 819 tokens eligible.
RATIO = 16
# Sentence markers and the full stop stand in every line; their bias says nothing.
EXCLUDE = ["<s>", "</s>", "."]
# Occupation words, each scored over all its tokens whether the draw picked them or not. Each
# occurs in one sentence here (three layers), so their figures illustrate the output, no more.
TARGETS = ["nurse", "secretary", "librarian", "engineer", "mechanic", "carpenter"]

with open("seeds.json", encoding="utf-8") as f:
    groups = json.load(f)

argv = ["features.jsonl", "--ratio", str(RATIO), "--out", "out", "--exclude", *EXCLUDE,
        "--targets", ",".join(TARGETS)]
for g in groups:
    argv += ["--seeds", ",".join(g)]
sys.exit(main(argv))
