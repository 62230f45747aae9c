#!/usr/bin/env python3
"""Writes feature files for the calibration of the target tests: sentences whose tokens share a
sentence context, seed groups set apart along a direction u, and targets loaded on u with known
strengths (0 for a null file).

Every distribution is symmetric under the reflection across u's normal, which swaps the two seed
groups ("he,him" and "she,her" occur equally often, at p + gamma u and p - gamma u): a target of
strength 0 then has a true difference of exactly zero, whatever the random draw, because its
difference and minus its difference have the same distribution. To keep the symmetry, u is an
eigenvector of the noise covariance, and every word vector, the shared part p and the sentence
contexts other than their u part are orthogonal to u.

Each sentence gets a context added to all its tokens (a random vector, and a shift of random sign
along u of size `topic`), so that tokens of one sentence are correlated, seed and target tokens
alike, along the very direction that is measured. Targets occur with Zipf-like frequencies, from
hundreds of sentences down to a handful; a vocabulary of 400 fillers makes up most of the text.

    python3 benchmarks/gen_calibration.py /tmp/null.jsonl --lines 1000
"""
from __future__ import annotations

import argparse
import json
import sys

import numpy as np

SEEDS_A = ("he", "him")
SEEDS_B = ("she", "her")
FILLERS = tuple(f"filler{k:03d}" for k in range(400))


def target_names(count: int) -> list[str]:
    return [f"word{k:02d}" for k in range(count)]


def generate(path: str, lines: int = 1500, tokens: int = 12, width: int = 512, targets: int = 24,
             strengths: np.ndarray | None = None, gamma: float = 1.5, beta: float = 1.0,
             context: float = 0.7, topic: float = 0.5, seed: int = 1) -> dict[str, float]:
    """Writes the file; returns each target's planted strength (its loading on u is beta times it)."""
    from orvelle.orvelle import _feature_line

    rng = np.random.default_rng(seed)
    names = target_names(targets)
    planted = np.zeros(targets) if strengths is None else np.asarray(strengths, dtype=float)
    vocab = [*SEEDS_A, *SEEDS_B, *names, *FILLERS]
    n_seed = len(SEEDS_A) + len(SEEDS_B)

    rotation, _ = np.linalg.qr(rng.standard_normal((width, width)))
    spectrum = (np.arange(width) + 1.0) ** -0.5
    u, p = rotation[:, 0], rotation[:, 1]  # u: an eigenvector of the noise covariance

    def noise(n: int, scale: float = 1.0) -> np.ndarray:
        return (rng.standard_normal((n, width)) * spectrum * scale) @ rotation.T

    def off_u(v: np.ndarray) -> np.ndarray:
        return v - np.outer(v @ u, u)

    words = 0.5 * off_u(noise(len(vocab)))
    words[:n_seed] = 0.0
    words[:len(SEEDS_A)] += 3.0 * p + gamma * u
    words[len(SEEDS_A):n_seed] += 3.0 * p - gamma * u
    words[n_seed:n_seed + targets] += beta * np.outer(planted, u)

    # Seeds 4 % of the tokens, targets 8 % (Zipf-like, the commonest near 3 %), fillers the rest.
    zipf = 1.0 / (np.arange(targets) + 1.0) ** 1.2
    filler = 1.0 / (np.arange(len(FILLERS)) + 10.0)
    weights = np.r_[np.full(n_seed, 0.04 / n_seed), 0.08 * zipf / zipf.sum(), 0.88 * filler / filler.sum()]
    ids = rng.choice(len(vocab), size=(lines, tokens), p=weights)
    shared = off_u(noise(lines, context)) + np.outer(topic * rng.choice([-1.0, 1.0], lines), u)
    values = words[ids] + shared[:, None, :] + noise(lines * tokens).reshape(lines, tokens, width)
    values = values.astype(np.float32)

    with open(path, "wb") as out:
        for i in range(lines):
            out.write(_feature_line(i, [vocab[k] for k in ids[i]], [12], values[i][None].tobytes(),
                                    "float32", width, 8))
    return dict(zip(names, planted.tolist()))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output")
    ap.add_argument("--lines", type=int, default=1500)
    ap.add_argument("--targets", type=int, default=24)
    ap.add_argument("--gamma", type=float, default=1.5, help="seed groups' offset along u")
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    print(json.dumps(generate(a.output, a.lines, targets=a.targets, gamma=a.gamma, seed=a.seed)), file=sys.stderr)


if __name__ == "__main__":
    main()
