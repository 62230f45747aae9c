"""gzip and zstd feature files read as the text they hold, told apart by their first bytes."""
import gzip
import shutil
import subprocess
import sys

import pytest

import orvelle
from features import write_planted

SEEDS = [["he"], ["she"]]


def zstd(data: bytes) -> bytes:
    return subprocess.run(["zstd", "-q", "-c"], input=data, stdout=subprocess.PIPE, check=True).stdout


COMPRESS = [pytest.param(lambda d: gzip.compress(d, mtime=0), id="gzip"),
            pytest.param(zstd, id="zstd", marks=pytest.mark.skipif(not shutil.which("zstd"),
                                                                   reason="needs the zstd command"))]


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    return write_planted(tmp_path_factory.mktemp("plain") / "whole.jsonl", lines=90)


def outcome(path, out, **kwargs):
    m = orvelle.measure(path, SEEDS, ["king"], 2, random_token_num=7, out=str(out), **kwargs)
    return (out / "random_subspace.txt").read_bytes(), [d.mean for d in m.draws], m.targets


@pytest.mark.parametrize("stream", ["0", "1"])
@pytest.mark.parametrize("compress", COMPRESS)
def test_compressed_file_and_shards_read_as_plain(plain, tmp_path, monkeypatch, compress, stream):
    monkeypatch.setenv("ORVELLE_STREAM", stream)
    data = plain.read_bytes()
    lines = data.splitlines(keepends=True)
    # Named without a compression suffix: the first bytes decide, not the name.
    (tmp_path / "whole.jsonl").write_bytes(compress(data))
    shards = tmp_path / "shards"
    shards.mkdir()
    (shards / "a.jsonl.gz").write_bytes(compress(b"".join(lines[:30])))
    (shards / "b.jsonl").write_bytes(b"".join(lines[30:60]))
    (shards / "c.jsonl.zst").write_bytes(compress(b"".join(lines[60:])))
    for name in ("p", "c", "s"):
        (tmp_path / name).mkdir()
    want = outcome(str(plain), tmp_path / "p")
    assert outcome(str(tmp_path / "whole.jsonl"), tmp_path / "c") == want
    assert outcome(str(shards), tmp_path / "s") == want

    r = subprocess.run([sys.executable, "-m", "orvelle", str(shards), "--seeds", "he", "--seeds", "she", "--ratio", "7",
                        "--draws", "2", "--out", str(tmp_path / "cli")], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "cli" / "random_subspace.txt").read_bytes() == want[0]


@pytest.mark.parametrize("compress", COMPRESS)
def test_errors_read_as_in_plain_text(plain, tmp_path, panic_type, compress):
    lines = plain.read_bytes().splitlines(keepends=True)
    lines[6] = b'{"linex_index": 6, "features": [{"token": "x"}]}\n'
    bad = b"".join(lines)
    messages = []
    for name, data in [("plain.jsonl", bad), ("packed.jsonl", compress(bad)), ("cut.jsonl", compress(bad)[:-9])]:
        (tmp_path / name).write_bytes(data)
        with pytest.raises(panic_type) as info:
            orvelle.calculator(str(tmp_path / name), SEEDS, subspace_folder_path=str(tmp_path))
        messages.append(info.value.args[0])
    assert messages[1] == messages[0] and "missing field `layers`" in messages[0]
    # Truncated after the bad line: the line's error still comes first.
    assert messages[2] == messages[0]
    (tmp_path / "cut2.jsonl").write_bytes(compress(plain.read_bytes())[:-9])
    with pytest.raises(panic_type) as info:
        orvelle.calculator(str(tmp_path / "cut2.jsonl"), SEEDS, subspace_folder_path=str(tmp_path))
    assert f'{tmp_path / "cut2.jsonl"}: ' in info.value.args[0] and "the compressed stream is truncated" in info.value.args[0]
