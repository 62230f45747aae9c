"""Token features of a Hugging Face encoder, written as orvelle's feature file.

One JSON object per sentence and line::

    {"linex_index":0,"features":[{"token":"<s>","layers":[{"index":12,"values":[0.0123,...]},...]},...]}

``token`` is a whole word by default, the mean of its pieces' activations, spelt as the tokenizer
joins its pieces (``--pool pieces``: every token the tokenizer made, in its own spelling, word-piece
and word-boundary markers included, which the reader removes); special tokens stay as they are.
``index`` the hidden-state index the model reports
(0 is the embedding output, ``num_hidden_layers`` the last layer), ``values`` that layer's
activations rounded to ``digits`` significant digits and spelt as Python's ``f"{v:.{digits}g}"``
spells them (``"shortest"``: as ``repr(v)``, which reads back as the same value). The extension
module writes the lines from the activations' bytes. The encoder runs on the CPU, or a GPU
(``device``); torch and transformers are needed only here (``pip install 'orvelle[extract]'``, or
scripts/install_extract.sh, which installs the CPU build of torch).

Command line::

    python -m orvelle.extract sentences.txt -o features.jsonl [--model all-mpnet-base-v2]
        [--layers -1 -2 -3 -4] [--pool words|pieces] [--batch-size 16] [--batch-order length|corpus]
        [--digits 8|shortest] [--device cpu|cuda|cuda:N|mps] [--threads N] [--local-files-only] [--no-progress]
        [--ray | --ray-address ADDR] [--workers N] [--shard-lines N]

With ``--ray`` or ``--ray-address``, ``-o`` names a folder of shards written on a Ray cluster
(orvelle.distributed).
"""

from __future__ import annotations

import argparse
import sys

from ._encoder import (BATCH_ORDERS, DEFAULT_LAYERS, DEFAULT_MODEL, POOLS, SHORTEST, batch_plan,  # noqa: F401
                       cpu_count, extract_features, format_values, load_encoder, pool_words, resolve_device,
                       resolve_layers)


def read_sentences(path: str) -> tuple[list[str], int]:
    """The non-blank lines of a UTF-8 text file ("-": standard input), and how many blank
    lines were left out."""
    if path == "-":
        lines = sys.stdin.read().splitlines()
    else:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    sentences = [line for line in lines if line.strip()]
    return sentences, len(lines) - len(sentences)


def _digits_arg(text: str) -> int | str:
    return text if text == SHORTEST else int(text)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m orvelle.extract",
        description="Write the token features of a Hugging Face encoder as an orvelle feature file "
                    "(one JSON line per sentence).")
    parser.add_argument("sentences", help="UTF-8 text file, one sentence per line (blank lines are "
                                          "left out); - reads standard input")
    parser.add_argument("-o", "--out", required=True,
                        help="feature file to write; with --ray or --ray-address, the folder of its shards")
    parser.add_argument("--model", default=DEFAULT_MODEL,
                        help="model directory, packaged model (all-mpnet-base-v2, all-MiniLM-L6-v2) or "
                             "hub name in the local cache (default: %(default)s)")
    parser.add_argument("--layers", type=int, nargs="+", default=list(DEFAULT_LAYERS), metavar="N",
                        help="hidden-state indexes, negative from the last (default: -1 -2 -3 -4)")
    parser.add_argument("--batch-size", type=int, default=16)
    parser.add_argument("--batch-order", choices=BATCH_ORDERS, default="length",
                        help="length: batch sentences of similar length, to pad less (the default); "
                             "corpus: consecutive sentences, so a run's bytes repeat with the same batch size "
                             "(lines are in corpus order either way)")
    parser.add_argument("--pool", choices=POOLS, default="words",
                        help="words: one feature per word, the mean of its pieces' vectors, its text the "
                             "pieces joined (pharmacist from ph ##arm ##ac ##ist; the default); pieces: one "
                             "feature per token the tokenizer made, with its own spelling")
    parser.add_argument("--device", default="cpu", help="cpu (default), cuda, cuda:N or mps")
    parser.add_argument("--threads", type=int, default=None,
                        help="torch threads on the CPU (default: one per CPU this process may use, unless "
                             "OMP_NUM_THREADS is set)")
    parser.add_argument("--digits", type=_digits_arg, default=8,
                        help=f"significant digits, 1 to 17, or {SHORTEST} for the shortest text that reads "
                             "back as the same value (default: 8)")
    parser.add_argument("--local-files-only", action="store_true",
                        help="never contact a model hub")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    ray = parser.add_argument_group("on a Ray cluster (pip install 'orvelle[distributed]')")
    cluster = ray.add_mutually_exclusive_group()
    cluster.add_argument("--ray", action="store_true", help="start a local Ray cluster for the run")
    cluster.add_argument("--ray-address", metavar="ADDR", help="join a running Ray cluster (auto, HOST:6379, ...)")
    ray.add_argument("--workers", type=int, metavar="N",
                     help="model actors (default: one per GPU with --device cuda, else one per 4 CPUs)")
    ray.add_argument("--shard-lines", type=int, metavar="N",
                     help="sentences per shard file, features-00000.jsonl, ... (default: 1000)")
    args = parser.parse_args(argv)
    on_ray = args.ray or args.ray_address is not None
    if not on_ray and (args.workers is not None or args.shard_lines is not None):
        parser.error("--workers and --shard-lines need --ray or --ray-address")
    options = {"batch_size": args.batch_size, "digits": args.digits, "device": args.device,
               "batch_order": args.batch_order, "pool": args.pool, "threads": args.threads,
               "local_files_only": args.local_files_only, "progress": not args.no_progress}
    shards = ""
    try:
        sentences, blank = read_sentences(args.sentences)
        if on_ray:
            from .distributed import extract_distributed

            paths = extract_distributed(sentences, args.model, args.layers, out_dir=args.out,
                                        shard_lines=args.shard_lines or 1000, workers=args.workers,
                                        address=args.ray_address, **options)
            n, shards = len(sentences), f" in {len(paths)} shard{'s' if len(paths) != 1 else ''}"
        else:
            n = extract_features(sentences, args.model, args.layers, out=args.out, **options)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - one line, no traceback, for every failure
        print(f"orvelle.extract: error: {e}", file=sys.stderr)
        return 1
    skipped = f" ({blank} blank line{'s' if blank != 1 else ''} left out)" if blank else ""
    print(f"wrote {n} line{'s' if n != 1 else ''}{shards} to {args.out}{skipped}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # no partial file is left: one line, and the shell's status for it
        print("orvelle.extract: interrupted", file=sys.stderr)
        sys.exit(130)
