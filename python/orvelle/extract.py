"""Token features of a Hugging Face encoder, written as orvelle's feature file.

One JSON object per sentence and line::

    {"linex_index":0,"features":[{"token":"<s>","layers":[{"index":12,"values":[0.0123,...]},...]},...]}

``token`` is the tokenizer's own spelling (word-piece and word-boundary markers and special tokens
included; the reader removes the markers), ``index`` the hidden-state index the model reports
(0 is the embedding output, ``num_hidden_layers`` the last layer), ``values`` that layer's
activations rounded to ``digits`` significant digits and spelt as Python's ``f"{v:.{digits}g}"``
spells them (``"shortest"``: as ``repr(v)``, which reads back as the same value). The extension
module writes the lines from the activations' bytes. The encoder runs on the CPU; torch and
transformers are needed only here (``pip install 'orvelle[extract]'``, or
scripts/install_extract.sh, which installs the CPU build of torch).

Command line::

    python -m orvelle.extract sentences.txt -o features.jsonl [--model all-mpnet-base-v2]
        [--layers -1 -2 -3 -4] [--batch-size 16] [--digits 8|shortest] [--local-files-only]
        [--no-progress]
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterable, Sequence
from pathlib import Path

from . import _models
from .orvelle import _feature_line

DEFAULT_LAYERS = (-1, -2, -3, -4)
DEFAULT_MODEL = _models.MPNET
SHORTEST = "shortest"  # digits: every bit of each activation kept


def _require_backend():
    try:
        import torch
        import transformers
    except ImportError as e:
        raise ImportError(
            f"orvelle.extract needs torch and transformers ({e.name} is missing): "
            "pip install torch==2.13.0 transformers, or run scripts/install_extract.sh") from e
    return torch, transformers


def resolve_layers(layers: Sequence[int], n_states: int) -> list[int]:
    """Non-negative hidden-state indexes for ``layers`` (negative ones count from the end).

    ``n_states`` is the number of hidden states the model returns (its layers plus the
    embedding output). An index out of range, or two that name the same state, is an error:
    a state written twice would enter the analysis twice.
    """
    if isinstance(layers, (str, bytes)) or not isinstance(layers, Iterable):
        raise TypeError(f"layers must be a sequence of ints, not {type(layers).__name__}")
    resolved = []
    for layer in layers:
        if isinstance(layer, bool) or not isinstance(layer, int):
            raise TypeError(f"layer index {layer!r} is not an int")
        if not -n_states <= layer < n_states:
            raise ValueError(f"layer index {layer} is out of range: the model has hidden states "
                             f"0 to {n_states - 1} (or -{n_states} to -1)")
        index = layer % n_states
        if index in resolved:
            raise ValueError(f"layer index {layer} names hidden state {index} a second time")
        resolved.append(index)
    if not resolved:
        raise ValueError("no layer given")
    return resolved


def format_values(values: Iterable[float], digits: int | str) -> str:
    """Comma-separated JSON numbers, each rounded to ``digits`` significant digits (``"shortest"``:
    Python's repr, which reads back as the same double). The writer spells them the same way."""
    if digits == SHORTEST:
        return ",".join(repr(float(v)) for v in values)
    return ",".join(f"{v:.{digits}g}" for v in values)


def _digits_code(digits: int | str) -> int:
    """The native writer's spelling of ``digits``: 1 to 17, or 0 for the shortest round trip."""
    if digits == SHORTEST:
        return 0
    if isinstance(digits, bool) or not isinstance(digits, int) or not 1 <= digits <= 17:
        raise ValueError(f"digits must be an int from 1 to 17 or {SHORTEST!r}, not {digits!r}")
    return digits


def load_encoder(model: str | os.PathLike, local_files_only: bool = False, progress: bool = True):
    """(tokenizer, model) from a model directory, a packaged model's name
    (``all-mpnet-base-v2``, ``all-MiniLM-L6-v2``) or a hub name already in the local cache."""
    _, transformers = _require_backend()
    path = _models.resolve(model)
    hf_logging = transformers.utils.logging
    bars_were_on = hf_logging.is_progress_bar_enabled()
    if not progress:
        hf_logging.disable_progress_bar()
    try:
        tokenizer = transformers.AutoTokenizer.from_pretrained(path, local_files_only=local_files_only)
        encoder = transformers.AutoModel.from_pretrained(path, local_files_only=local_files_only)
    finally:
        if bars_were_on:
            hf_logging.enable_progress_bar()
    encoder.to("cpu").eval()
    return tokenizer, encoder


def _batches(sentences: Iterable[str], size: int):
    batch = []
    for s in sentences:
        if not isinstance(s, str):
            raise TypeError(f"sentences must be str, not {type(s).__name__}")
        batch.append(s)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _max_length(tokenizer, encoder) -> int | None:
    """The longest input the model takes, in tokens (tokenizers without a limit report a huge one)."""
    n = getattr(tokenizer, "model_max_length", None)
    if isinstance(n, int) and 0 < n < 1_000_000:
        return n
    n = getattr(encoder.config, "max_position_embeddings", None)
    return n if isinstance(n, int) else None


def extract_features(
    sentences: Iterable[str],
    model,
    layers: Sequence[int] = DEFAULT_LAYERS,
    *,
    out: str | os.PathLike,
    batch_size: int = 16,
    digits: int | str = 8,
    local_files_only: bool = False,
    progress: bool = True,
) -> int:
    """Runs the encoder over ``sentences`` and writes one feature line per sentence to ``out``.

    ``model`` is a model directory, a packaged model's name, a hub name in the local cache, or a
    ``(tokenizer, model)`` pair already loaded. ``layers`` are hidden-state indexes, negative
    ones counted from the last layer; they are written as the non-negative index, in the order
    given. Lines are written as each batch is done, to ``out`` + ".part", renamed to ``out`` when
    every sentence is written, so a failed run leaves no file that looks complete. A sentence
    longer than the model accepts, or an activation that is not finite, stops the run (nothing
    is truncated or replaced). Returns the number of lines written.

    Padding inside a batch can move activations in their last bits, so the rounded values may
    differ in the last digit between batch sizes.
    """
    code = _digits_code(digits)
    if isinstance(sentences, (str, bytes)):
        raise TypeError("sentences must be a sequence of str, not one str")
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive int, not {batch_size!r}")
    torch, _ = _require_backend()
    if isinstance(model, tuple):
        tokenizer, encoder = model
    else:
        tokenizer, encoder = load_encoder(model, local_files_only=local_files_only, progress=progress)
    n_states = getattr(encoder.config, "num_hidden_layers", None)
    if not isinstance(n_states, int):
        raise ValueError("the model's config does not say how many hidden layers it has")
    n_states += 1
    wanted = resolve_layers(layers, n_states)
    max_length = _max_length(tokenizer, encoder)

    total = len(sentences) if hasattr(sentences, "__len__") else None
    from tqdm.auto import tqdm  # comes with transformers

    out = Path(out)
    part = out.with_name(out.name + ".part")
    written = 0
    bar = tqdm(total=total, desc="Extracting", unit="line", file=sys.stderr, disable=not progress)
    try:
        with open(part, "wb") as f, torch.inference_mode():
            for batch in _batches(sentences, batch_size):
                enc = tokenizer(batch, padding=True, truncation=False, return_tensors="pt")
                mask = enc["attention_mask"]
                lengths = mask.sum(dim=1).tolist()
                for k, n in enumerate(lengths):
                    if max_length is not None and n > max_length:
                        raise ValueError(f"sentence {written + k} has {n} tokens; the model takes at most "
                                         f"{max_length}")
                result = encoder(**enc, output_hidden_states=True)
                states = result.hidden_states
                if states is None or len(states) != n_states:
                    raise ValueError(f"the model returned {0 if states is None else len(states)} hidden "
                                     f"states, its config promises {n_states}")
                chosen = torch.stack([states[i] for i in wanted])  # layer, sentence, token, unit
                for k in range(len(batch)):
                    positions = mask[k].nonzero().flatten()
                    texts = tokenizer.convert_ids_to_tokens(enc["input_ids"][k, positions].tolist())
                    values = chosen[:, k, positions].numpy()
                    f.write(_feature_line(written, texts, wanted, values.tobytes(), str(values.dtype),
                                          values.shape[2], code))
                    written += 1
                bar.update(len(batch))
        os.replace(part, out)
    except BaseException:
        bar.close()
        try:
            os.unlink(part)
        except FileNotFoundError:
            pass
        raise
    bar.close()
    return written


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
    parser.add_argument("-o", "--out", required=True, help="feature file to write")
    parser.add_argument("--model", default=DEFAULT_MODEL,
                        help="model directory, packaged model (all-mpnet-base-v2, all-MiniLM-L6-v2) or "
                             "hub name in the local cache (default: %(default)s)")
    parser.add_argument("--layers", type=int, nargs="+", default=list(DEFAULT_LAYERS), metavar="N",
                        help="hidden-state indexes, negative from the last (default: -1 -2 -3 -4)")
    parser.add_argument("--batch-size", type=int, default=16)
    parser.add_argument("--digits", type=_digits_arg, default=8,
                        help=f"significant digits, 1 to 17, or {SHORTEST} for the shortest text that reads "
                             "back as the same value (default: 8)")
    parser.add_argument("--local-files-only", action="store_true",
                        help="never contact a model hub")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    args = parser.parse_args(argv)
    try:
        sentences, blank = read_sentences(args.sentences)
        n = extract_features(sentences, args.model, args.layers, out=args.out, batch_size=args.batch_size,
                             digits=args.digits, local_files_only=args.local_files_only,
                             progress=not args.no_progress)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - one line, no traceback, for every failure
        print(f"orvelle.extract: error: {e}", file=sys.stderr)
        return 1
    skipped = f" ({blank} blank line{'s' if blank != 1 else ''} left out)" if blank else ""
    print(f"wrote {n} line{'s' if n != 1 else ''} to {args.out}{skipped}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
