"""Long analyses leave the interpreter to other threads, stop on Ctrl-C, and leave nothing
half-written."""
import os
import re
import signal
import subprocess
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest

import orvelle
from conftest import REPO
from features import write_features
from terminal import run_on_terminal

EXAMPLE = str(REPO / "examples" / "features.jsonl")
SEEDS = [["he", "him"], ["she", "her"]]


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """1 600 tokens of width 520: each stage of an analysis lasts long enough to be interrupted in."""
    return str(write_features(tmp_path_factory.mktemp("big") / "f.jsonl", lines=200, width=520))


def test_other_threads_run_during_an_analysis():
    ticks = []
    done = threading.Event()

    def tick():
        while not done.wait(0.01):
            ticks.append(time.monotonic())

    ticker = threading.Thread(target=tick)
    ticker.start()
    start = time.monotonic()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            orvelle.measure(EXAMPLE, SEEDS, draws=2)
    finally:
        done.set()
        ticker.join()
    seconds = time.monotonic() - start
    # Holding the lock, the analysis let the ticker run about twice in all.
    assert len(ticks) > seconds / 0.01 / 3, (len(ticks), seconds)


def analyse(path, seed, folder, draws):
    c = orvelle.calculator(path, SEEDS, random_token_seed=seed, subspace_folder_path=str(folder))
    c.save_summary(str(folder))
    m = orvelle.measure(path, SEEDS, ["nurse", "doctor"], draws, random_token_seed=seed) if draws else None
    return (c.bias_sum_average(), c.bias_asb_sum_average(), (folder / "random_subspace.txt").read_bytes(),
            (folder / "calculator_summary.txt").read_bytes(), m and ([d.mean for d in m.draws], m.targets, m.words))


@pytest.mark.filterwarnings("ignore")  # catch_warnings is not safe in threads
def test_concurrent_calls_equal_sequential_ones(tmp_path):
    small = str(write_features(tmp_path / "small.jsonl", lines=80, width=520))
    other = str(write_features(tmp_path / "other.jsonl", lines=70, width=520, seed=1))
    jobs = [(EXAMPLE, 1, 0), (small, 1, 2), (small, 1, 0), (small, 3, 0), (other, 1, 1)]
    folders = [tmp_path / str(k) for k in range(2 * len(jobs))]
    for folder in folders:
        folder.mkdir()
    sequential = [analyse(path, seed, folders[k], draws) for k, (path, seed, draws) in enumerate(jobs)]
    with ThreadPoolExecutor(len(jobs)) as pool:
        concurrent = list(pool.map(lambda k: analyse(*jobs[k][:2], folders[len(jobs) + k], jobs[k][2]),
                                   range(len(jobs))))
    assert concurrent == sequential


# Runs the analysis in a child with standard error on a pseudo-terminal, so that it draws its bars.
CHILD = r"""
import os, sys, time, warnings, orvelle
warnings.simplefilter("ignore")
entries = lambda folder: len(os.listdir(folder))
fds, threads = entries("/proc/self/fd"), entries("/proc/self/task")
try:
    orvelle.calculator(sys.argv[1], [["he"], ["she"]], random_token_num=-1, subspace_folder_path=sys.argv[2],
                       user_friendly=True)
    print("completed")
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), entries("/proc/self/fd") - fds, entries("/proc/self/task") - threads)
"""
BAR_START = re.compile(r"(?<!\x1b\[2K)\[ *([A-Za-z ]+)\] -{40} 0% ")


def interrupt(path, folder, env, bar=None, occurrence=1, feed=None):
    """Sends SIGINT to a child analysing `path` once it starts the `occurrence`-th bar `bar`, or once
    `feed` (a thread feeding a pipe) says so. Returns the child's last line, the signal's time and
    what the child drew."""
    sent = []

    def send(proc):
        sent.append(time.monotonic())
        proc.send_signal(signal.SIGINT)

    def started(drawn, proc):
        if bar and not sent and BAR_START.findall(drawn).count(bar) >= occurrence:
            send(proc)

    def begin(proc):
        if feed:
            threading.Thread(target=feed, args=(lambda: send(proc),), daemon=True).start()

    child, drawn = run_on_terminal([sys.executable, "-c", CHILD, path, str(folder)], env=env,
                                   stdout=subprocess.PIPE, on_start=begin, on_output=started)
    out = child.communicate(timeout=60)[0].split()
    assert child.returncode == 0 and sent, (out, drawn)
    return out, sent[0], drawn


@pytest.fixture
def child_env(tmp_path):
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE")}
    return {**env, "TERM": "dumb", "TMPDIR": str(temporary), "ORVELLE_STREAM": "0"}, temporary


@pytest.mark.parametrize("stage,bar,occurrence,stream", [
    ("global fit", "PCA Fit", 1, "0"),
    ("global fit, streamed", "PCA Fit", 1, "1"),
    ("projection", "PCA Transform", 1, "0"),
    ("random space", "PCA Fit", 2, "0"),
    ("listing", "Generating space", 1, "0"),
])
def test_sigint_stops_every_stage_leaving_nothing_behind(big, tmp_path, child_env, stage, bar, occurrence, stream):
    env, temporary = child_env
    out, sent, drawn = interrupt(big, tmp_path, {**env, "ORVELLE_STREAM": stream}, bar, occurrence)
    if out == ["completed"]:
        pytest.skip(f"the analysis ended before the signal arrived in the {stage}")
    word, caught, fds, threads = out
    assert word == "interrupted"
    assert float(caught) - sent < 1.0
    assert (int(fds), int(threads)) == (0, 0)  # files, spill files and workers released
    assert list(temporary.iterdir()) == []
    listing = tmp_path / "random_subspace.txt"
    if listing.exists():  # written before the signal: whole
        assert listing.stat().st_size > 1_000_000
    # A bar the signal interrupted cleared its line: the terminal ends on an empty line, or on a
    # bar that had finished.
    last = drawn.rsplit("\r\x1b[2K", 1)[-1]
    assert last == "" or " 100% " in last, drawn[-300:]


def test_sigint_stops_a_read_waiting_on_a_pipe(big, tmp_path, child_env):
    env, _ = child_env
    fifo = tmp_path / "features.fifo"
    os.mkfifo(fifo)
    with open(big, "rb") as f:
        data = f.read()

    def feed(send):
        with open(fifo, "wb") as pipe:
            pipe.write(data[:len(data) // 2])  # returns once the reader has taken most of it
            send()
            time.sleep(3)  # the rest never comes while the reader waits

    out, sent, _ = interrupt(str(fifo), tmp_path, env, feed=feed)
    assert out[0] == "interrupted"
    assert float(out[1]) - sent < 1.0
    assert not (tmp_path / "random_subspace.txt").exists()


def test_command_line_exits_130_on_ctrl_c(big, tmp_path, child_env):
    env, _ = child_env
    out = tmp_path / "out"
    sent = []

    def second_draw(drawn, proc):
        if not sent and BAR_START.findall(drawn).count("PCA Fit") >= 3:
            proc.send_signal(signal.SIGINT)
            sent.append(True)

    child, drawn = run_on_terminal([sys.executable, "-m", "orvelle", big, "--seeds", "he", "--seeds", "she", "--out",
                                    str(out), "--draws", "3"], env=env, stdout=subprocess.PIPE, on_output=second_draw)
    assert child.wait(timeout=60) == 130
    assert child.stdout.read() == ""
    frames = re.compile(r"\r\x1b\[2K|\[ *[A-Za-z ]+\] [#>-]{40} \d+% .*?\[\d\d:\d\d:\d\d\] *")
    assert frames.sub("", drawn).replace("\r", "") == "orvelle: interrupted\n"
    assert sorted(p.name for p in out.iterdir()) in ([], ["random_subspace.txt"])


@pytest.mark.filterwarnings("ignore")
def test_an_interrupted_save_leaves_the_files_before_it(tmp_path, monkeypatch):
    m = orvelle.measure(EXAMPLE, SEEDS, draws=1)
    m.save(str(tmp_path))
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    def interrupted(self):
        yield ["mean ratio", "Space of he", "", "", 1, "0.1", "", "", ""]
        raise KeyboardInterrupt

    monkeypatch.setattr(orvelle.Measurement, "_interval_rows", interrupted)
    with pytest.raises(KeyboardInterrupt):
        m.save(str(tmp_path))
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
