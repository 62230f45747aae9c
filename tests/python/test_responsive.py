"""Long analyses leave the interpreter to other threads, stop on Ctrl-C, and leave nothing
half-written."""
import os
import re
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import orvelle
from conftest import REPO
from features import write_features
from terminal import run_on_terminal

EXAMPLE = str(REPO / "examples" / "features.jsonl.zst")
SEEDS = [["he", "him"], ["she", "her"]]
pytestmark = pytest.mark.filterwarnings("ignore")  # catch_warnings is not safe in threads


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """1 600 tokens of width 520: every stage lasts long enough to be interrupted in."""
    return str(write_features(tmp_path_factory.mktemp("big") / "f.jsonl", lines=200, width=520))


def test_other_threads_run_during_an_analysis():
    ticks, done = [], threading.Event()

    def tick():
        while not done.wait(0.01):
            ticks.append(1)

    ticker = threading.Thread(target=tick)
    ticker.start()
    start = time.monotonic()
    orvelle.measure(EXAMPLE, SEEDS, draws=2)
    seconds = time.monotonic() - start
    done.set()
    ticker.join()
    assert len(ticks) > seconds / 0.01 / 3, (len(ticks), seconds)  # holding the lock: 2 ticks in all


def analyse(path, seed, folder, draws):
    c = orvelle.calculator(path, SEEDS, random_token_seed=seed, subspace_folder_path=str(folder))
    c.save_summary(str(folder))
    m = orvelle.measure(path, SEEDS, ["nurse", "doctor"], draws, random_token_seed=seed) if draws else None
    return (c.bias_sum_average(), c.bias_asb_sum_average(), (folder / "random_subspace.txt").read_bytes(),
            (folder / "calculator_summary.txt").read_bytes(), m and ([d.mean for d in m.draws], m.targets, m.words))


def test_concurrent_calls_equal_sequential_ones(tmp_path):
    small = str(write_features(tmp_path / "small.jsonl", lines=80, width=520))
    other = str(write_features(tmp_path / "other.jsonl", lines=70, width=520, seed=1))
    jobs = [(EXAMPLE, 1, 0), (small, 1, 2), (small, 1, 0), (small, 3, 0), (other, 1, 1)]
    folders = [tmp_path / str(k) for k in range(2 * len(jobs))]
    for folder in folders:
        folder.mkdir()
    sequential = [analyse(path, seed, folders[k], draws) for k, (path, seed, draws) in enumerate(jobs)]
    with ThreadPoolExecutor(len(jobs)) as pool:
        concurrent = pool.map(lambda k: analyse(*jobs[k][:2], folders[len(jobs) + k], jobs[k][2]), range(len(jobs)))
    assert list(concurrent) == sequential


CHILD = r"""
import os, sys, time, orvelle
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


def interrupt(args, env, bar=None, occurrence=1, feed=None):
    """Runs `args` with standard error on a pseudo-terminal, sending SIGINT once it starts its
    `occurrence`-th bar `bar`, or when `feed` (run in a thread, given the sender) calls for it.
    Returns the process, its output split in words, the signal's time and what it drew."""
    sent = []

    def send(proc):
        if not sent:
            sent.append(time.monotonic())
            proc.send_signal(signal.SIGINT)

    def begin(proc):
        if feed:
            threading.Thread(target=feed, args=(lambda: send(proc),), daemon=True).start()

    def watch(drawn, proc):
        if bar and BAR_START.findall(drawn).count(bar) >= occurrence:
            send(proc)

    proc, drawn = run_on_terminal(args, env=env, stdout=subprocess.PIPE, on_start=begin, on_output=watch)
    out = proc.communicate(timeout=60)[0].split()
    assert sent, (out, drawn)
    return proc, out, sent[0], drawn


@pytest.fixture
def child_env(tmp_path):
    """No colours, and a temporary folder of its own for spill files."""
    (tmp_path / "tmp").mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE")}
    return {**env, "TERM": "dumb", "TMPDIR": str(tmp_path / "tmp"), "ORVELLE_STREAM": "0"}


@pytest.mark.parametrize("bar,occurrence,stream", [
    ("PCA Fit", 1, "0"),           # the global fit
    ("PCA Fit", 1, "1"),           # the same, streamed from a spill file
    ("PCA Transform", 1, "0"),
    ("PCA Fit", 2, "0"),           # the random space
    ("Generating space", 1, "0"),  # the listing
])
def test_sigint_stops_every_stage_leaving_nothing_behind(big, tmp_path, child_env, bar, occurrence, stream):
    env = {**child_env, "ORVELLE_STREAM": stream}
    _, out, sent, drawn = interrupt([sys.executable, "-c", CHILD, big, str(tmp_path)], env, bar, occurrence)
    if out == ["completed"]:
        pytest.skip(f"the analysis ended before the signal arrived in {bar} {occurrence}")
    assert out[0] == "interrupted" and float(out[1]) - sent < 1.0
    assert out[2:] == ["0", "0"]  # descriptors (spill files too) and worker threads released
    assert list((tmp_path / "tmp").iterdir()) == []
    listing = tmp_path / "random_subspace.txt"
    assert not listing.exists() or listing.stat().st_size > 1_000_000  # written before the signal: whole
    # A bar the signal stopped cleared its line: the terminal ends on an empty line or a finished bar.
    last = drawn.rsplit("\r\x1b[2K", 1)[-1]
    assert last == "" or " 100% " in last, drawn[-300:]


def test_sigint_stops_a_read_waiting_on_a_pipe(big, tmp_path, child_env):
    fifo = tmp_path / "features.fifo"
    os.mkfifo(fifo)
    data = open(big, "rb").read()

    def feed(send):
        with open(fifo, "wb") as pipe:
            pipe.write(data[:len(data) // 2])  # returns once the reader has taken most of it
            send()
            time.sleep(3)  # the rest never comes while the reader waits

    _, out, sent, _ = interrupt([sys.executable, "-c", CHILD, str(fifo), str(tmp_path)], child_env, feed=feed)
    assert out[0] == "interrupted" and float(out[1]) - sent < 1.0
    assert not (tmp_path / "random_subspace.txt").exists()


def test_command_line_exits_130_on_ctrl_c(big, tmp_path, child_env):
    out = tmp_path / "out"
    proc, printed, _, drawn = interrupt([sys.executable, "-m", "orvelle", big, "--seeds", "he", "--seeds", "she",
                                         "--out", str(out), "--draws", "3"], child_env, "PCA Fit", 3)  # draw 2
    assert proc.returncode == 130 and printed == []
    frames = re.compile(r"\r\x1b\[2K|\[ *[A-Za-z ]+\] [#>-]{40} \d+% .*?\[\d\d:\d\d:\d\d\] *")
    assert frames.sub("", drawn).replace("\r", "") == "orvelle: interrupted\n"
    assert [p.name for p in out.iterdir()] == ["random_subspace.txt"]  # the first draw's, whole


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
