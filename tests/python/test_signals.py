"""Ctrl-C stops loops that run in C (list(q), itertools, map) at once and loses nothing."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorin

SCRIPT = textwrap.dedent(
    """
    import collections, itertools, sys, time
    import numpy as np
    import quorin

    probs = np.random.default_rng(5).random((16, 256)) + 0.01
    q = quorin.quorin(probs)
    first = [next(q).tolist() for _ in range(3)]
    print("ready", flush=True)

    # list() iterates a copy: the interrupt ends it, and q has not moved.
    start = time.monotonic()
    try:
        list(q)
    except KeyboardInterrupt:
        print("list", round(time.monotonic() - start, 2), flush=True)
    fresh = quorin.quorin(probs)
    due = [next(fresh).tolist() for _ in range(4)]
    assert first == due[:3]
    assert next(q).tolist() == due[3], "list(q) moved q"

    # next() on q itself, called from C: every configuration handed out is kept, and the
    # interrupted call hands out nothing, so the sequence goes on where it stood.
    print("again", flush=True)
    taken = collections.deque()
    try:
        taken.extend(map(next, itertools.repeat(q)))
    except KeyboardInterrupt:
        pass
    expected = [next(fresh).tolist() for _ in range(len(taken) + 1)]
    assert [c.tolist() for c in taken] == expected[:-1]
    assert next(q).tolist() == expected[-1], "a configuration was lost"
    print("ok", len(taken), flush=True)
    """
)


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="POSIX signals")
def test_sigint_stops_c_level_loops_and_loses_nothing():
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(quorin.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [module_dir, env.get("PYTHONPATH", "")] if p)
    child = subprocess.Popen([sys.executable, "-c", SCRIPT], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        for expected in ("ready", "again"):
            line = child.stdout.readline()
            while line and not line.startswith(expected):
                line = child.stdout.readline()
            assert line.startswith(expected), child.stderr.read()
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert "ok" in out, out + err


SEARCH_SCRIPT = textwrap.dedent(
    """
    import time
    import numpy as np
    import quorin

    if __name__ == "__main__":
        probs = np.random.default_rng(5).dirichlet(np.full(256, 0.3), size=16)
        absent = quorin.AES128(bytes(16), quorin.AES128.encrypt(bytes(range(16)), bytes(16)))
        path = __import__("sys").argv[1]
        try:
            quorin.search(probs, absent, stop=2**40, workers=2, task_size=2**34,
                          checkpoint=path, progress=False)
        except KeyboardInterrupt:
            print("stopped", flush=True)
    """
)


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="POSIX signals")
@pytest.mark.skipif(bool(os.environ.get("QUORIN_ASAN")), reason="worker processes")
def test_sigint_stops_a_native_search_in_worker_processes(tmp_path):
    # Each task would take minutes: the workers' native walks must stop, not finish.
    script = tmp_path / "search.py"
    script.write_text(SEARCH_SCRIPT)
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.dirname(os.path.abspath(quorin.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [module_dir, env.get("PYTHONPATH", "")] if p)
    child = subprocess.Popen([sys.executable, str(script), str(tmp_path / "search.json")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        time.sleep(8)  # the workers start and walk
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert "stopped" in out, out + err
