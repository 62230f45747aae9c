import os
import resource
import subprocess
import sys

LONGEST_LINE = "line 1 is longer than 1073741824 bytes (1 GiB), the longest line the reader accepts"

# The interpreter, the extension and one 1 GiB line fit; a reader that keeps
# reading an endless line fails to allocate here instead of filling the machine.
ADDRESS_SPACE = 4 << 30


def _capped() -> None:
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
    # One decoding thread: the cap then does not depend on the core count.
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


def test_endless_line_fails_at_the_longest_line(tmp_path):
    code = (
        "import orvelle\n"
        "try:\n"
        "    orvelle.calculator('/dev/zero', [['he']])\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e.args[0])\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                       preexec_fn=_capped, timeout=60)
    assert r.stdout.strip() == f"PanicException {LONGEST_LINE}", r.stderr
