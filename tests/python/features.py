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


def write_planted(path, lines=100, width=520, seed=0):
    """A file with a known association: "he" tokens lie along p + u, "she" along p - u, "king" along
    +u and "queen" along -u (u and p fixed random directions), every other token noise only."""
    import numpy as np

    rng = np.random.default_rng(seed)
    u, p = rng.standard_normal((2, width))
    u, p = 10 * u / np.linalg.norm(u), 10 * p / np.linalg.norm(p)
    signal = {"he": p + u, "she": p - u, "king": u, "queen": -u}
    words = ["he", "she", "king", "queen", "the", "a", "said", "Ġof"]
    with open(path, "w", encoding="utf-8") as f:
        for i in range(lines):
            features = []
            for t in range(8):
                word = words[(i + t) % len(words)] if t < 4 else words[4 + (i * 3 + t) % 4]
                values = rng.standard_normal(width) + signal.get(word, 0)
                features.append({"token": word, "layers": [{"index": 0, "values": [round(v, 6) for v in values]}]})
            f.write(json.dumps({"linex_index": i, "features": features}) + "\n")
    return path
