"""Feature extraction over a Ray cluster (``pip install 'orvelle[distributed]'``).

Ray Data hands the corpus, cut into shards of consecutive sentences, to a pool of model actors (one
per GPU, or CPU workers); each actor runs :func:`orvelle.extract.extract_features` on a shard and
writes it as one file, ``features-00000.jsonl``, ``features-00001.jsonl``, ..., into the output
folder. The names sort in corpus order and every line keeps its corpus-wide ``linex_index``, so the
shards concatenated are the feature file a single process writes (byte for byte when the batches
hold the same sentences: ``batch_order="corpus"`` and a shard size that is a multiple of the batch
size). Ray does all the scheduling; the folder must be one that every node writes to (a shared file
system) when the cluster has several.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from ._encoder import DEFAULT_LAYERS, POOLS, _check_sentences, _digits_code, extract_features, load_encoder

SHARD_PREFIX = "features-"


def shard_names(count: int) -> list[str]:
    """File names of ``count`` shards, zero-padded so that they sort in corpus order."""
    width = max(5, len(str(count - 1)))
    return [f"{SHARD_PREFIX}{k:0{width}d}.jsonl" for k in range(count)]


class _ShardWriter:
    """A model actor: loads the encoder once, then writes each shard it is handed."""

    def __init__(self, model, layers, folder: str, local_files_only: bool, options: dict):
        self._encoder = load_encoder(model, local_files_only=local_files_only, progress=False)
        self._layers, self._folder, self._options = layers, Path(folder), options

    def __call__(self, batch: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        lines = [extract_features([str(s) for s in texts], self._encoder, self._layers, out=self._folder / name,
                                  first_index=int(first), progress=False, **self._options)
                 for name, first, texts in zip(batch["name"], batch["first"], batch["sentences"])]
        return {"name": batch["name"], "lines": np.asarray(lines)}


def extract_distributed(
    sentences: Sequence[str],
    model,
    layers: Sequence[int] = DEFAULT_LAYERS,
    *,
    out_dir: str | os.PathLike,
    shard_lines: int = 1000,
    workers: int | None = None,
    address: str | None = None,
    device: str = "cpu",
    batch_size: int = 16,
    digits: int | str = 8,
    batch_order: str = "length",
    pool: str = "words",
    threads: int | None = None,
    local_files_only: bool = False,
    progress: bool = True,
) -> list[Path]:
    """Writes the feature file of ``sentences`` as shards of ``shard_lines`` lines into ``out_dir``
    and returns their paths in corpus order.

    ``address`` joins a running Ray cluster (``"auto"``, ``"HOST:6379"``, ``"ray://HOST:10001"``);
    without it a local one is started for the call, unless this process is already connected to
    one. ``workers`` model actors run at once: by default one per GPU of the cluster for
    ``device="cuda"``, else one per 4 CPUs. On the CPU each actor reserves an equal part of the
    cluster's CPUs and torch uses as many threads (``threads`` sets both). ``model`` is a name or
    directory every node can load. The other arguments are those of
    :func:`orvelle.extract.extract_features`, applied shard by shard. A failed run removes the
    shards it wrote: without the others they would pass for a whole corpus.
    """
    if isinstance(model, tuple):
        raise TypeError("model must be a name or directory that every node loads, not a loaded model")
    sentences = _check_sentences(sentences)
    _digits_code(digits)
    if pool not in POOLS:
        raise ValueError(f"pool must be one of {', '.join(POOLS)}, not {pool!r}")
    for name, value in (("shard_lines", shard_lines), ("workers", workers), ("threads", threads)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
            raise ValueError(f"{name} must be a positive int, not {value!r}")
    if device not in ("cpu", "cuda", "mps"):
        raise ValueError(f"device must be cpu, cuda or mps on a cluster (each actor sees its own GPU as cuda), "
                         f"not {device!r}")
    folder = Path(out_dir)
    folder.mkdir(parents=True, exist_ok=True)
    if any(folder.glob(f"{SHARD_PREFIX}*.jsonl")):
        raise ValueError(f"{folder} already holds feature shards; give an empty or new folder")
    if not sentences:
        return []
    try:
        import ray
        import ray.data
    except ImportError as e:
        raise ImportError("orvelle.distributed needs ray: pip install 'orvelle[distributed]'") from e

    started = not ray.is_initialized()
    if started:
        ray.init(address=address or "local", include_dashboard=False, logging_level="warning")
    context = ray.data.DataContext.get_current()
    bars = context.enable_progress_bars
    context.enable_progress_bars = False  # the bar below counts sentences, Ray Data's would count shards
    names: list[str] = []
    done = False
    try:
        resources = ray.cluster_resources()
        gpus, cpus = int(resources.get("GPU", 0)), int(resources.get("CPU", 1))
        if device == "cuda" and gpus < 1:
            raise ValueError("device cuda: the Ray cluster has no GPU")
        workers = workers or (gpus if device == "cuda" else max(1, cpus // 4))
        per_actor = {"num_gpus": 1, "num_cpus": threads or 1} if device == "cuda" else \
            {"num_gpus": 0, "num_cpus": threads or max(1, cpus // workers)}
        starts = range(0, len(sentences), shard_lines)
        names = shard_names(len(starts))
        items = [{"name": name, "first": first, "sentences": sentences[first:first + shard_lines]}
                 for name, first in zip(names, starts)]
        options = {"device": device, "batch_size": batch_size, "digits": digits, "batch_order": batch_order,
                   "pool": pool, "threads": threads}
        shards = ray.data.from_items(items).map_batches(
            _ShardWriter, batch_size=1, compute=ray.data.ActorPoolStrategy(size=workers),
            fn_constructor_args=(model, layers, str(folder.resolve()), local_files_only, options), **per_actor)
        _run(shards, len(sentences), progress)
        done = True
    finally:
        context.enable_progress_bars = bars
        if started:
            ray.shutdown()  # the actors stop before their files go
        if not done:
            for name in names:
                (folder / name).unlink(missing_ok=True)
                (folder / (name + ".part")).unlink(missing_ok=True)
    return [folder / name for name in names]


def _run(shards, total: int, progress: bool) -> None:
    """Drives the pipeline, counting the lines of each shard written."""
    import sys

    from tqdm.auto import tqdm

    with tqdm(total=total, desc="Extracting", unit=" sentences", file=sys.stderr, disable=not progress) as bar:
        for done in shards.iter_batches(batch_size=1):
            bar.update(int(done["lines"].sum()))
