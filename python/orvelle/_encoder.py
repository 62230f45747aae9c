"""The encoder side of extraction, shared by the single-process path (orvelle.extract) and the
Ray path (orvelle.distributed): loading a Hugging Face encoder, running it over sentences in
batches and writing each sentence's token features as one line of orvelle's feature file through
the extension's native writer. torch and transformers are imported only when a function needs them.
"""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Iterable, Sequence
from pathlib import Path

from . import _models
from .orvelle import _feature_line

DEFAULT_LAYERS = (-1, -2, -3, -4)
DEFAULT_MODEL = _models.MPNET
SHORTEST = "shortest"  # digits: every bit of each activation kept
BATCH_ORDERS = ("length", "corpus")
POOLS = ("words", "pieces")  # one feature per word (its pieces' mean), or per token the tokenizer made


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


def _check_sentences(sentences: Iterable[str]) -> list[str]:
    if isinstance(sentences, (str, bytes)):
        raise TypeError("sentences must be a sequence of str, not one str")
    sentences = list(sentences)
    bad = next((s for s in sentences if not isinstance(s, str)), None)
    if bad is not None:
        raise TypeError(f"sentences must be str, not {type(bad).__name__}")
    return sentences


def _max_length(tokenizer, encoder) -> int | None:
    """The longest input the model takes, in tokens (tokenizers without a limit report a huge one)."""
    n = getattr(tokenizer, "model_max_length", None)
    if isinstance(n, int) and 0 < n < 1_000_000:
        return n
    n = getattr(encoder.config, "max_position_embeddings", None)
    return n if isinstance(n, int) else None


def resolve_device(device: str):
    """The torch device named ``device`` (``cpu``, ``cuda``, ``cuda:N``, ``mps``), if this machine
    has it."""
    torch, _ = _require_backend()
    try:
        dev = torch.device(device)
    except (RuntimeError, TypeError, ValueError):
        raise ValueError(f"device {device!r} is not a device name (cpu, cuda, cuda:N, mps)") from None
    available = {
        "cpu": lambda: True,
        "cuda": lambda: torch.cuda.is_available() and (dev.index or 0) < torch.cuda.device_count(),
        "mps": lambda: torch.backends.mps.is_available(),
    }.get(dev.type, lambda: False)()
    if not available:
        raise ValueError(f"device {device!r} is not available on this machine")
    return dev


def cpu_count() -> int:
    """The CPUs this process may run on (its affinity, not the machine's count)."""
    if hasattr(os, "process_cpu_count"):  # Python 3.13
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def batch_plan(lengths: Sequence[int], batch_size: int, order: str) -> list[list[int]]:
    """Sentence indexes in batches: in corpus order, or ``"length"``: sorted by token count (ties in
    corpus order), so that each batch pads its sentences to about their own length."""
    import numpy as np

    if not len(lengths):
        return []
    indexes = np.argsort(np.asarray(lengths), kind="stable") if order == "length" else np.arange(len(lengths))
    return [chunk.tolist() for chunk in np.split(indexes, np.arange(batch_size, len(indexes), batch_size))]


def pool_words(tokenizer, pieces: list[str], word_ids: Sequence[int | None], values):
    """One feature per word: the word's pieces (consecutive tokens of one word id) averaged per
    layer, its text the pieces joined as the tokenizer joins them (``##`` continuations and ``Ġ``/``▁``
    word starts dropped, casing and normalisation the tokenizer's). Tokens without a word id
    (``[CLS]``, ``<s>``, ...) stay as they are. ``values`` is layer, token, unit; the means are taken
    in float64 and given back in ``values``' dtype."""
    import numpy as np

    ids = np.array([-1 if w is None else w for w in word_ids], dtype=np.int64)
    if not len(ids):
        return list(pieces), values
    # A group starts at every special token and wherever the word id changes.
    starts = np.flatnonzero(np.r_[True, (ids[1:] != ids[:-1]) | (ids[1:] < 0)])
    bounds = np.r_[starts, len(ids)]
    counts = np.diff(bounds)
    means = np.add.reduceat(values.astype(np.float64), starts, axis=1) / counts[None, :, None]
    texts = [pieces[a] if ids[a] < 0 else tokenizer.convert_tokens_to_string(pieces[a:b]).strip()
             for a, b in zip(bounds[:-1].tolist(), bounds[1:].tolist())]
    return texts, means.astype(values.dtype)


def extract_features(
    sentences: Iterable[str],
    model,
    layers: Sequence[int] = DEFAULT_LAYERS,
    *,
    out: str | os.PathLike,
    batch_size: int = 16,
    digits: int | str = 8,
    device: str = "cpu",
    batch_order: str = "length",
    pool: str = "words",
    threads: int | None = None,
    first_index: int = 0,
    local_files_only: bool = False,
    progress: bool = True,
) -> int:
    """Runs the encoder over ``sentences`` and writes one feature line per sentence to ``out``.

    ``model`` is a model directory, a packaged model's name, a hub name in the local cache, or a
    ``(tokenizer, model)`` pair already loaded (moved to ``device``). ``layers`` are hidden-state
    indexes, negative ones counted from the last layer; they are written as the non-negative index,
    in the order given. Lines are written to ``out`` + ".part", renamed to ``out`` when every
    sentence is written, so a failed run leaves no file that looks complete. A sentence longer than
    the model accepts, or an activation that is not finite, stops the run (nothing is truncated or
    replaced). Returns the number of lines written.

    ``pool="words"`` writes one feature per word: the mean of its pieces' vectors in each layer,
    its text the pieces joined (``pharmacist`` from ``ph ##arm ##ac ##ist``), special tokens as they
    are; word boundaries are the fast tokenizer's word ids. ``pool="pieces"`` writes every token the
    tokenizer made, with its own spelling.

    ``device`` runs the encoder on ``cpu``, ``cuda`` (``cuda:N``) or ``mps``; activations of a
    half-precision model are written from float32. ``batch_order="length"`` batches sentences of
    similar token counts together, to pad less; the lines are still written in corpus order. Padding
    and the batch's shape can move activations in their last bits, so a value's last written digit
    can depend on which sentences share its batch: ``batch_order="corpus"`` keeps the batches to
    consecutive sentences, so that a run gives the bytes of any other with the same batch size
    (on the same device, with as many threads).
    On the CPU, torch uses ``threads`` threads, or one per CPU this process may run on unless
    OMP_NUM_THREADS says otherwise; torch's setting is restored afterwards. ``first_index`` is the
    ``linex_index`` of the first sentence, for a part of a larger corpus (orvelle.distributed).
    """
    code = _digits_code(digits)
    sentences = _check_sentences(sentences)
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive int, not {batch_size!r}")
    if batch_order not in BATCH_ORDERS:
        raise ValueError(f"batch_order must be one of {', '.join(BATCH_ORDERS)}, not {batch_order!r}")
    if pool not in POOLS:
        raise ValueError(f"pool must be one of {', '.join(POOLS)}, not {pool!r}")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    if isinstance(first_index, bool) or not isinstance(first_index, int) or first_index < 0:
        raise ValueError(f"first_index must be a non-negative int, not {first_index!r}")
    torch, _ = _require_backend()
    import numpy as np

    dev = resolve_device(device)
    if isinstance(model, tuple):
        tokenizer, encoder = model
    else:
        tokenizer, encoder = load_encoder(model, local_files_only=local_files_only, progress=progress)
    if pool == "words" and not getattr(tokenizer, "is_fast", False):
        raise ValueError("pool='words' needs a fast tokenizer, whose word ids mark the words; "
                         "this one is not (use pool='pieces')")
    encoder.to(dev)
    n_states = getattr(encoder.config, "num_hidden_layers", None)
    if not isinstance(n_states, int):
        raise ValueError("the model's config does not say how many hidden layers it has")
    n_states += 1
    wanted = resolve_layers(layers, n_states)

    lengths = tokenizer(sentences, truncation=False, return_length=True)["length"] if sentences else []
    max_length = _max_length(tokenizer, encoder)
    too_long = np.flatnonzero(np.asarray(lengths) > max_length) if max_length is not None else []
    if len(too_long):
        i = too_long[0]
        raise ValueError(f"sentence {first_index + i} has {lengths[i]} tokens; the model takes at most "
                         f"{max_length}")

    threads_before = torch.get_num_threads()
    if dev.type == "cpu" and (threads is not None or "OMP_NUM_THREADS" not in os.environ):
        torch.set_num_threads(threads or cpu_count())
    from tqdm.auto import tqdm  # comes with transformers

    out = Path(out)
    part = out.with_name(out.name + ".part")
    bar = tqdm(total=len(sentences), desc="Extracting", unit=" sentences", file=sys.stderr, disable=not progress)
    try:
        with open(part, "wb") as f, _CorpusOrder(f, len(sentences), batch_order != "corpus") as sink, \
                torch.inference_mode():
            for batch in batch_plan(lengths, batch_size, batch_order):
                enc = tokenizer([sentences[i] for i in batch], padding=True, truncation=False,
                                return_tensors="pt")
                states = encoder(**enc.to(dev), output_hidden_states=True).hidden_states
                if states is None or len(states) != n_states:
                    raise ValueError(f"the model returned {0 if states is None else len(states)} hidden "
                                     f"states, its config promises {n_states}")
                chosen = torch.stack([states[i] for i in wanted])  # layer, sentence, token, unit
                if chosen.dtype not in (torch.float32, torch.float64):
                    chosen = chosen.float()  # half precision: the writer takes float32 and float64
                # Sentence by sentence in numpy: torch's indexing of small tensors wakes its thread pool.
                chosen = chosen.cpu().numpy()
                ids, mask = enc["input_ids"].cpu().numpy(), enc["attention_mask"].cpu().numpy().astype(bool)
                for k, index in enumerate(batch):
                    texts = tokenizer.convert_ids_to_tokens(ids[k, mask[k]].tolist())
                    values = chosen[:, k, mask[k]]
                    if pool == "words":
                        word_ids = np.array(enc.word_ids(k), dtype=object)[mask[k]]
                        texts, values = pool_words(tokenizer, texts, word_ids, values)
                    sink.write(index, _feature_line(first_index + index, texts, wanted, values.tobytes(),
                                                    str(values.dtype), values.shape[2], code))
                bar.update(len(batch))
        os.replace(part, out)
    except BaseException:
        try:
            os.unlink(part)
        except FileNotFoundError:
            pass
        raise
    finally:
        bar.close()
        torch.set_num_threads(threads_before)
    return len(sentences)


class _CorpusOrder:
    """Writes lines that come in any order to ``f`` in index order. Out of order, each line goes
    to an unnamed temporary file beside ``f`` as it comes (memory stays flat: a line can take
    megabytes), and the lines are copied to ``f`` by index when all are in."""

    def __init__(self, f, count: int, reorder: bool):
        import numpy as np

        self._f = f
        self._spool = tempfile.TemporaryFile(dir=Path(f.name).parent) if reorder else None
        self._spans = np.zeros((count, 2), dtype=np.int64)  # offset and length of each line

    def write(self, index: int, line: bytes) -> None:
        if self._spool is None:
            self._f.write(line)
            return
        self._spans[index] = self._spool.tell(), len(line)
        self._spool.write(line)

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace) -> None:
        if self._spool is None:
            return
        with self._spool:
            if kind is None:
                for offset, length in self._spans.tolist():
                    self._spool.seek(offset)
                    self._f.write(self._spool.read(length))
