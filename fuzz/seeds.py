"""Writes the seed inputs of the fuzz targets, from the reference lines and number literals.

python3 fuzz/seeds.py OUT  ->  OUT/fuzz_line, OUT/fuzz_number, OUT/fuzz_parallel_read, one file per input.
The references are read from $ORVELLE_SHARED_DIR/golden, else ../shared/golden beside the repository.
"""

import argparse
import hashlib
import json
import os
import pathlib

REPO = pathlib.Path(__file__).resolve().parents[1]
# A valid line around a number literal, as the reference numbers were taken.
NUMBER_LINE = '{{"linex_index":0,"features":[{{"token":"a","layers":[{{"index":1,"values":[{}]}}]}}]}}'


def golden_dir() -> pathlib.Path:
    shared = os.environ.get("ORVELLE_SHARED_DIR")
    return pathlib.Path(shared) / "golden" if shared else REPO.parent / "shared" / "golden"


def seeds() -> dict[str, list[bytes]]:
    golden = golden_dir()
    serde = json.loads((golden / "serde_errors.json").read_text(encoding="utf-8"))
    splits = json.loads((golden / "std_messages.json").read_text(encoding="utf-8"))["line_splits"]
    # Texts may hold lone surrogates: written as the bytes a careless writer would produce.
    lines = [c["line"].encode("utf-8", "surrogatepass") for c in serde["lines"]]
    literals = [c["literal"] for c in serde["numbers"]]
    raw = [bytes.fromhex(c["bytes_hex"]) for c in splits]
    # Whole files: runs of consecutive reference lines, alternating terminators, some with a
    # failing line inside.
    files = [b"\n".join(lines[i:i + 6]) for i in range(0, len(lines), 6)]
    files += [b"\r\n".join(lines[i:i + 4]) + b"\r\n" for i in range(0, len(lines), 4)]
    return {
        "fuzz_line": lines + raw + [NUMBER_LINE.format(lit).encode() for lit in literals],
        "fuzz_number": [lit.encode() for lit in literals],
        "fuzz_parallel_read": files + raw,
    }


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("out", type=pathlib.Path)
    out = p.parse_args().out
    for target, inputs in seeds().items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"seeds: {len(set(inputs))} for {target}")


if __name__ == "__main__":
    main()
