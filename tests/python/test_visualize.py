"""version() and visualize(): the output line, the two child processes of
`python` (else the running interpreter), and the failures. A fake `python`
first on PATH records its argv."""
import contextlib
import io
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

import orvelle

MODULE_DIR = os.path.dirname(orvelle.__file__)
CONTROL_C = "Control-C to stop the server\n"

# Records argv (NUL-separated, one file per run, so concurrent runs don't mix)
# and writes to both streams, which visualize() must swallow.
FAKE_PYTHON = """#!/bin/sh
PATH='{path}'
out="{log}/$(date +%s%N).$$"
printf '%s\\0' "$@" > "$out"
echo "fake python stdout"
echo "fake python stderr" >&2
{extra}
"""


def recorder(script: Path, log: Path, extra: str = ""):
    """Writes a fake interpreter at `script`; returns a reader of its recorded runs."""
    script.parent.mkdir(exist_ok=True)
    log.mkdir(exist_ok=True)
    path = os.environ.get("PATH", "")
    script.write_text(FAKE_PYTHON.format(log=log, path=path, extra=extra.replace("{self}", str(script))))
    script.chmod(0o755)

    def runs():
        return [p.read_bytes().decode().split("\0")[:-1] for p in sorted(log.iterdir())]
    return runs


@pytest.fixture
def fake_python(tmp_path, monkeypatch):
    """Puts a fake `python` first on PATH; returns a reader of the recorded runs."""
    def install(extra="", alone=False):
        runs = recorder(tmp_path / "bin" / "python", tmp_path / "runs", extra)
        path = os.environ.get("PATH", "")
        # alone: no other `python` on the search path to fall back on
        monkeypatch.setenv("PATH", str(tmp_path / "bin") if alone else f"{tmp_path / 'bin'}{os.pathsep}{path}")
        return runs
    return install


def server_argv(port):
    return ["-m", "http.server", str(port), "--bind", "127.0.0.1", "--directory", MODULE_DIR]


def browser_argv(port):
    return ["-m", "webbrowser", "-t", f"http://127.0.0.1:{port}"]


def test_version_prints_one_line_on_fd_1(capfd):
    with contextlib.redirect_stdout(io.StringIO()) as python_stdout:
        assert orvelle.version() is None
        assert orvelle.version() is None
    assert python_stdout.getvalue() == ""  # not written through sys.stdout
    out, err = capfd.readouterr()
    assert out == "Orvelle version: 0.2.9\n" * 2
    assert err == ""


@pytest.mark.parametrize("setup, stdout, error", [
    ("", "/dev/full", "No space left on device (os error 28)"),
    ("import os; os.close(1)\n", None, "Bad file descriptor (os error 9)"),
])
def test_version_failure_names_the_stream(tmp_path, setup, stdout, error):
    code = setup + "import orvelle\ntry:\n    orvelle.version()\nexcept BaseException as e:\n    print(repr(e), file=__import__('sys').stderr)\n"
    with open(stdout or os.devnull, "wb") as out:
        r = subprocess.run([sys.executable, "-c", code], stdout=out, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    assert f"PanicException('failed printing to stdout: {error}')" in r.stderr


@pytest.mark.parametrize("args, kwargs, port", [
    ((), {}, 8000),
    ((None,), {}, 8000),
    ((), {"port": None}, 8000),
    ((8080,), {}, 8080),
    ((), {"port": 8080}, 8080),
    ((0,), {}, 0),
    ((True,), {}, 1),
    ((65535,), {}, 65535),
])
def test_server_then_browser_with_their_arguments(fake_python, capfd, args, kwargs, port):
    runs = fake_python()
    assert orvelle.visualize(*args, **kwargs) is None
    # The server starts at once, the browser a second later: the recorded order.
    assert runs() == [server_argv(port), browser_argv(port)]
    out, err = capfd.readouterr()
    assert out == CONTROL_C  # the children's output is captured and dropped
    assert err == ""


@pytest.mark.parametrize("port, error, message", [
    (65536, OverflowError, "out of range integral type conversion attempted"),
    (-1, OverflowError, "out of range integral type conversion attempted"),
    (8000.0, TypeError, "argument 'port': 'float' object cannot be interpreted as an integer"),
    ("8000", TypeError, "argument 'port': 'str' object cannot be interpreted as an integer"),
])
def test_bad_port_starts_nothing(fake_python, capfd, port, error, message):
    runs = fake_python()
    with pytest.raises(error) as info:
        orvelle.visualize(port)
    assert str(info.value) == message
    time.sleep(1.2)  # a launcher thread, had one been started, would have run by now
    assert runs() == []
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("executable", ["", None, "/nonexistent/python3"])
def test_without_python_on_path_or_interpreter_the_server_fails(tmp_path, monkeypatch, capfd, panic_type,
                                                                executable):
    # sys.executable is empty or None where the interpreter cannot tell its own program.
    monkeypatch.setattr(sys, "executable", executable)
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(panic_type) as info:
        orvelle.visualize(8000)
    assert info.value.args == (
        'failed to execute process: Os { code: 2, kind: NotFound, message: "No such file or directory" }',)
    out, err = capfd.readouterr()
    assert out == CONTROL_C
    assert "orvelle: visualize() failed: failed to execute process" in err


def test_server_that_fails_at_once_returns(fake_python, capfd):
    runs = fake_python("exit 1")  # as when the port is taken
    assert orvelle.visualize(8000) is None
    assert [r[1] for r in runs()] == ["http.server", "webbrowser"]
    assert capfd.readouterr().out == CONTROL_C


def test_browser_that_cannot_start_fails_at_the_join(fake_python, capfd, panic_type):
    # The server run takes the execute bit away, so the browser run a second later cannot start.
    runs = fake_python('[ "$2" = http.server ] && chmod -x "{self}"', alone=True)
    with pytest.raises(panic_type) as info:
        orvelle.visualize(8000)
    assert info.value.args == (
        "called `Result::unwrap()` on an `Err` value: failed to execute process: "
        'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }',)
    assert [r[1] for r in runs()] == ["http.server"]
    assert capfd.readouterr().out == CONTROL_C


def test_children_that_flood_both_pipes_do_not_block(fake_python, capfd):
    # More than a pipe holds, on both streams: reading one stream only would deadlock.
    runs = fake_python("head -c 4000000 /dev/zero; head -c 4000000 /dev/zero >&2; head -c 4000000 /dev/zero")
    assert orvelle.visualize(8000) is None
    assert len(runs()) == 2
    assert capfd.readouterr().out == CONTROL_C


def test_module_without_file_fails_before_starting(fake_python, monkeypatch, capfd, panic_type):
    runs = fake_python()
    monkeypatch.delattr(orvelle, "__file__")
    with pytest.raises(panic_type) as info:
        orvelle.visualize(8000)
    message = info.value.args[0]
    assert message.startswith("called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'AttributeError'>, "
                              "value: AttributeError(\"module 'orvelle' has no attribute '__file__'\")"), message
    assert runs() == []
    assert capfd.readouterr().out == ""


def test_folder_with_a_nul_byte_is_not_served_cut_short(fake_python, monkeypatch, capfd, panic_type):
    runs = fake_python()
    monkeypatch.setattr(orvelle, "__file__", "/tmp/a\0b/__init__.py")
    with pytest.raises(panic_type) as info:
        orvelle.visualize(8000)
    assert info.value.args == (
        'failed to execute process: Error { kind: InvalidInput, message: "nul byte found in provided data" }',)
    assert "http.server" not in [r[1] for r in runs()]
    assert capfd.readouterr().out == CONTROL_C


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def python_on_path(tmp_path: Path) -> str:
    """A PATH whose `python` is the real interpreter, ahead of the usual folders."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "python").symlink_to(sys.executable)
    return f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"


def start_viewer(tmp_path: Path, path: str, port: int) -> subprocess.Popen:
    """visualize(port) in its own interpreter and session; the browser command is made harmless."""
    env = dict(os.environ, PATH=path, BROWSER=shutil.which("true"))
    return subprocess.Popen([sys.executable, "-c", f"import orvelle; orvelle.visualize({port})"], env=env,
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)


def viewer_page(proc: subprocess.Popen, port: int) -> str:
    deadline = time.monotonic() + 30
    while True:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=5) as r:
                return r.read().decode()
        except OSError:
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < deadline, "the server did not answer"
            time.sleep(0.2)


def test_real_server_serves_the_viewer_until_control_c(tmp_path):
    port = free_port()
    proc = start_viewer(tmp_path, python_on_path(tmp_path), port)
    try:
        page = viewer_page(proc, port)
        assert "<title>orvelle viewer</title>" in page
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/parsers.js", timeout=5) as r:
            assert b"parseSummary" in r.read()
    finally:
        os.killpg(proc.pid, signal.SIGINT)  # what Control-C in the terminal does
        out, err = proc.communicate(timeout=30)
    assert out.decode() == CONTROL_C
    assert "KeyboardInterrupt" in err.decode()  # raised once visualize() has returned


@pytest.mark.parametrize("on_path", [True, False], ids=["python on PATH", "no python on PATH"])
def test_python_from_path_first_else_the_running_interpreter(tmp_path, monkeypatch, capfd, on_path):
    from_path = recorder(tmp_path / "bin" / "python", tmp_path / "path-runs")
    interpreter = recorder(tmp_path / "interpreter" / "python3", tmp_path / "interpreter-runs")
    monkeypatch.setattr(sys, "executable", str(tmp_path / "interpreter" / "python3"))
    monkeypatch.setenv("PATH", str(tmp_path / ("bin" if on_path else "empty")))
    assert orvelle.visualize(8000) is None
    both = [server_argv(8000), browser_argv(8000)]
    assert (from_path(), interpreter()) == ((both, []) if on_path else ([], both))
    assert capfd.readouterr().out == CONTROL_C


def test_without_python_on_path_the_interpreter_serves(tmp_path):
    port = free_port()
    proc = start_viewer(tmp_path, str(tmp_path / "empty"), port)
    try:
        assert "<title>orvelle viewer</title>" in viewer_page(proc, port)
    finally:
        os.killpg(proc.pid, signal.SIGINT)
        proc.communicate(timeout=30)


def stops_listening(port: int, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        except ConnectionRefusedError:
            return True
        time.sleep(0.1)
    return False


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM], ids=["SIGKILL", "SIGTERM"])
def test_server_dies_with_the_killed_interpreter(tmp_path, sig):
    port = free_port()
    proc = start_viewer(tmp_path, python_on_path(tmp_path), port)
    try:
        viewer_page(proc, port)
        proc.send_signal(sig)  # the interpreter alone, not its children
        proc.communicate(timeout=30)
        assert stops_listening(port, seconds=5), "the server outlived the interpreter"
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)  # whatever of the session is left


def test_children_start_with_sigpipe_default_and_nothing_blocked(fake_python):
    # Each run appends its SigBlk and SigIgn masks to its record.
    runs = fake_python(r"""sed -n 's/^Sig\(Blk\|Ign\):\t//p' /proc/$$/status | tr '\n' '\0' >> "$out" """)
    assert signal.getsignal(signal.SIGPIPE) == signal.SIG_IGN  # as the interpreter sets it up
    # A signal blocked in the calling thread reaches the launcher thread too; neither child may keep it.
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    try:
        assert orvelle.visualize(8000) is None
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)
    recorded = runs()
    assert [r[1] for r in recorded] == ["http.server", "webbrowser"]
    for run in recorded:
        blocked, ignored = (int(mask, 16) for mask in run[-2:])
        assert blocked == 0, run
        assert not ignored >> (signal.SIGPIPE - 1) & 1, run
