"""Where orvelle.extract spends its time: the encoder's forward passes against the whole run.

Loads the model once, then times extract_features over the first sentences of a file, with hooks
on the encoder that add up the time of its forward passes. Prints sentences/s and the share of the
forward pass (the rest is tokenizing, moving and writing the activations); the run's own wall
time is the reference. Also prints the tokens the encoder ran on, padding included, for the batch
order used and for the other one. --join-up-to K makes sentences of uneven length by joining 1 to K
consecutive ones.

    python benchmarks/bench_extract.py [--model all-mpnet-base-v2] [--sentences examples/sentences.txt]
        [--limit 40] [--join-up-to 1] [--batch-size 16] [--digits 8]
        [extract_features keywords as --key value: --batch-order corpus --device cuda --threads 2 ...]
"""

import argparse
import os
import tempfile
import time

from orvelle.extract import batch_plan, extract_features, load_encoder, read_sentences


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--model", default="all-mpnet-base-v2")
    p.add_argument("--sentences", default="examples/sentences.txt")
    p.add_argument("--limit", type=int, default=40, help="first N sentences (repeated to reach N)")
    p.add_argument("--join-up-to", type=int, default=1)
    p.add_argument("--batch-size", type=int, default=16)
    p.add_argument("--digits", default="8")
    p.add_argument("--layers", type=int, nargs="+", default=[-1, -2, -3, -4])
    a, extra = p.parse_known_args()
    options = {k.lstrip("-").replace("-", "_"): v for k, v in zip(extra[::2], extra[1::2])}
    sentences, _ = read_sentences(a.sentences)
    sentences = sentences * (a.limit * a.join_up_to // len(sentences) + 1)
    sentences = [" ".join(sentences[i:i + i % a.join_up_to + 1]) for i in range(a.limit)]
    tokenizer, encoder = load_encoder(a.model, local_files_only=True, progress=False)
    lengths = tokenizer(sentences, return_length=True)["length"]

    def padded(order):
        return sum(len(b) * max(lengths[i] for i in b) for b in batch_plan(lengths, a.batch_size, order))

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
    order = options.get("batch_order", "length")
    other = "corpus" if order == "length" else "length"
    print(f"tokens {sum(lengths)}, through the encoder with padding: {padded(order)} ({order} order), "
          f"{padded(other)} ({other} order)")
    print(f"total {total:.2f} s ({len(sentences) / total:.2f} sentences/s, {size / 1e6:.1f} MB written); "
          f"forward {forward:.2f} s = {100 * forward / total:.1f} % of the run; "
          f"everything else {total - forward:.2f} s")


if __name__ == "__main__":
    main()
