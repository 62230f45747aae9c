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


# One analysis in a fresh interpreter: argv features, output folder, calculator keywords as JSON.
ANALYSIS = (
    "import json, sys, orvelle\n"
    "c = orvelle.calculator(sys.argv[1], [['he', 'him'], ['she', 'her']], subspace_folder_path=sys.argv[2],\n"
    "                       **json.loads(sys.argv[3]))\n"
    "c.save_summary(sys.argv[2])\n"
    "print(repr(c.bias_sum_average()), repr(c.bias_asb_sum_average()))\n"
    "print(orvelle.orvelle._simd_level())\n"
)


def analysis_args(features, folder, **calculator):
    """The arguments after the interpreter for one analysis of `features` into `folder`."""
    return ["-c", ANALYSIS, str(features), str(folder), json.dumps(calculator)]


def analysis_outputs(folder, stdout):
    """(listing, summary, printed sums, level it ran at) of an analysis that wrote into `folder`."""
    sums, ran_at = stdout.splitlines()
    return ((folder / "random_subspace.txt").read_bytes(), (folder / "calculator_summary.txt").read_bytes(),
            sums, ran_at)
