"""Where orvelle.extract spends its time: the encoder's forward passes against the whole run.

Loads the model once, then times extract_features over the first sentences of a file, with hooks
on the encoder that add up the time of its forward passes. Prints sentences/s and the share of the
forward pass (the rest is tokenizing, moving and writing the activations); the run's own wall
time is the reference.

    python benchmarks/bench_extract.py [--model all-mpnet-base-v2] [--sentences examples/sentences.txt]
        [--limit 40] [--batch-size 16] [--digits 8] [extract_features keywords as --key value ...]
"""

import argparse
import os
import tempfile
import time

from orvelle.extract import extract_features, load_encoder, read_sentences


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--model", default="all-mpnet-base-v2")
    p.add_argument("--sentences", default="examples/sentences.txt")
    p.add_argument("--limit", type=int, default=40, help="first N sentences (repeated to reach N)")
    p.add_argument("--batch-size", type=int, default=16)
    p.add_argument("--digits", default="8")
    p.add_argument("--layers", type=int, nargs="+", default=[-1, -2, -3, -4])
    a, extra = p.parse_known_args()
    options = {k.lstrip("-").replace("-", "_"): v for k, v in zip(extra[::2], extra[1::2])}
    sentences, _ = read_sentences(a.sentences)
    sentences = (sentences * (a.limit // len(sentences) + 1))[: a.limit]
    tokenizer, encoder = load_encoder(a.model, local_files_only=True, progress=False)

    spans = []  # [start, end] of each forward pass
    encoder.register_forward_pre_hook(lambda *_: spans.append([time.perf_counter()]))
    encoder.register_forward_hook(lambda *_: spans[-1].append(time.perf_counter()))

    digits = a.digits if a.digits == "shortest" else int(a.digits)
    with tempfile.TemporaryDirectory() as tmp:
        t = time.perf_counter()
        extract_features(sentences, (tokenizer, encoder), a.layers, out=os.path.join(tmp, "f.jsonl"),
                         batch_size=a.batch_size, digits=digits, progress=False, **options)
        total = time.perf_counter() - t
        forward = sum(end - start for start, end in spans)
        size = os.path.getsize(os.path.join(tmp, "f.jsonl"))
    print(f"{a.model}: {len(sentences)} sentences, batch size {a.batch_size}, layers {a.layers}, "
          f"digits {a.digits} {options or ''}")
    print(f"total {total:.2f} s ({len(sentences) / total:.2f} sentences/s, {size / 1e6:.1f} MB written); "
          f"forward {forward:.2f} s = {100 * forward / total:.1f} % of the run; "
          f"everything else {total - forward:.2f} s")


if __name__ == "__main__":
    main()
