"""Small feature files for tests, written in the reader's format."""

import json
import random

WORDS = ["he", "him", "she", "her", "doctor", "nurse", "engineer", "teacher", "the", "said", "Ġa", "##s"]


def write_features(path, lines=40, tokens_per_line=8, width=520, layers=(12,), seed=0):
    """A file of `lines` lines; every line holds he/she words among others."""
    rng = random.Random(seed)
    with open(path, "w", encoding="utf-8") as f:
        for i in range(lines):
            features = []
            for t in range(tokens_per_line):
                word = WORDS[(i + t) % len(WORDS)]
                features.append({
                    "token": word,
                    "layers": [{"index": layer, "values": [round(rng.gauss(0, 1), 6) for _ in range(width)]}
                               for layer in layers],
                })
            f.write(json.dumps({"linex_index": i, "features": features}) + "\n")
    return path
