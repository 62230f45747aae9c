"""Children with standard error on a pseudo-terminal, so that they draw their progress bars."""
import codecs
import os
import pty
import subprocess


def run_on_terminal(args, *, env, cwd=None, stdout=subprocess.DEVNULL, on_start=None, on_output=None):
    """Starts `args` with standard error on a pseudo-terminal (then calls on_start(process)) and
    reads what it draws there until it closes the terminal, calling on_output(drawn so far, process)
    after each piece. Returns the process (not waited for) and all it drew."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=stdout, stderr=slave, env=env, cwd=cwd,
                            text=True)
    os.close(slave)
    if on_start:
        on_start(proc)
    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    drawn = ""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child has closed the terminal
            break
        if not chunk:
            break
        drawn += decoder.decode(chunk)
        if on_output:
            on_output(drawn, proc)
    os.close(master)
    return proc, drawn
