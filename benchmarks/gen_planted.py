#!/usr/bin/env python3
"""Writes a feature file (JSON lines) with a planted association, for the bias-ratio control.

A unit direction u separates the two seed groups: every seed token sits near
p + gamma*u (group A) or p - gamma*u (group B), p a component both groups share,
so both seed centres point roughly the same way. Each target word is loaded
on u with a known strength s in [-1, 1] (s*beta*u). Fillers carry a vector of
their own word instead (u projected out). Every token gets context noise with
a decaying spectrum in a random rotation; layers are independent draws of the
same recipe.

    python3 benchmarks/gen_planted.py /tmp/planted.jsonl --lines 1500

The output depends only on the arguments (fixed seed by default).
"""
from __future__ import annotations

import argparse
import json
import sys

import numpy as np

SEEDS_A = ("he", "him")
SEEDS_B = ("she", "her")
TARGETS = ("doctor", "nurse", "engineer", "teacher", "pilot", "dancer",
           "lawyer", "baker", "farmer", "singer", "writer", "judge")
FILLERS = tuple(("the of and to in was for that with as on by it from at an were which "
                 "this be or has had not first one their new after who they have two "
                 "been when there all into time may years more only over city").split())


def planted_strengths(seed: int = 1) -> dict[str, float]:
    """Target word -> strength, evenly spread over [-1, 1] in a shuffled order."""
    s = np.linspace(-1.0, 1.0, len(TARGETS))
    np.random.default_rng(seed).shuffle(s)
    return dict(zip(TARGETS, s.tolist()))


def generate(path: str, lines: int = 1500, tokens: int = 10, width: int = 512,
             layers: tuple[int, ...] = (12,), gamma: float = 1.5, beta: float = 1.0,
             shared: float = 3.0, seed: int = 1) -> dict[str, float]:
    """Writes the file; returns the planted strength of every target word."""
    rng = np.random.default_rng(seed)
    strengths = planted_strengths(seed)
    vocab = [*SEEDS_A, *SEEDS_B, *TARGETS, *FILLERS]
    n_seed = len(SEEDS_A) + len(SEEDS_B)

    # Context noise: spectrum (k+1)^-1/2 in a random rotation.
    rotation, _ = np.linalg.qr(rng.standard_normal((width, width)))
    spectrum = (np.arange(width) + 1.0) ** -0.5
    def noise(n: int) -> np.ndarray:
        return (rng.standard_normal((n, width)) * spectrum) @ rotation.T

    u, p = np.linalg.qr(rng.standard_normal((width, 2)))[0].T
    words = 0.5 * noise(len(vocab))
    # Seeds and targets get no vector of their own: once the space is standardised
    # such a vector is no longer orthogonal to u and would shift a target's ratio.
    words[:n_seed + len(TARGETS)] = 0.0
    words -= np.outer(words @ u, u)
    load = np.zeros(len(vocab))          # loading on u of each word's mean
    load[:len(SEEDS_A)] = gamma
    load[len(SEEDS_A):n_seed] = -gamma
    load[n_seed:n_seed + len(TARGETS)] = beta * np.array([strengths[t] for t in TARGETS])
    means = words + np.outer(load, u)
    means[:n_seed] += shared * p

    # Token choice: 10 % seeds, 40 % targets, the rest fillers.
    weights = np.r_[np.full(n_seed, 0.10 / n_seed), np.full(len(TARGETS), 0.40 / len(TARGETS)),
                    np.full(len(FILLERS), 0.50 / len(FILLERS))]
    ids = rng.choice(len(vocab), size=(lines, tokens), p=weights)
    flat = ids.ravel()
    vectors = [means[flat] + noise(flat.size) for _ in layers]   # one (n, width) per layer

    row = "[" + ", ".join(["%.7g"] * width) + "]"
    names = [json.dumps(w) for w in vocab]
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        for i in range(lines):
            feats = []
            for j in range(tokens):
                k = i * tokens + j
                recs = ", ".join('{"index": %d, "values": %s}' % (layer, row % tuple(v[k]))
                                 for layer, v in zip(layers, vectors))
                feats.append('{"token": %s, "layers": [%s]}' % (names[flat[k]], recs))
            out.write('{"linex_index": %d, "features": [%s]}\n' % (i, ", ".join(feats)))
    return strengths


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output")
    ap.add_argument("--lines", type=int, default=1500)
    ap.add_argument("--tokens", type=int, default=10, help="tokens per line")
    ap.add_argument("--width", type=int, default=512, help="values per layer record")
    ap.add_argument("--layers", default="12", help="layer indexes of every token")
    ap.add_argument("--gamma", type=float, default=1.5, help="seed groups' offset along u")
    ap.add_argument("--beta", type=float, default=1.0, help="target loading along u at strength 1")
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    strengths = generate(a.output, a.lines, a.tokens, a.width,
                         tuple(int(v) for v in a.layers.split(",")), a.gamma, a.beta, seed=a.seed)
    print(json.dumps(strengths), file=sys.stderr)


if __name__ == "__main__":
    main()
