"""The quorin command, run as `python -m quorin` in a subprocess: a planted AES-128 key found
at the rank quorin.rank gives it; a session stopped by SIGINT and restored gives the answer
of an uninterrupted run, testing exactly what the checkpoint had not recorded; --restore
with other inputs refused; bad input of every kind ends with status 2 and one line; a
Python test and a Dask scheduler; rank and benchmark."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import quorin

PLAINTEXT = bytes(range(16))
DEPTH = 300_000  # the planted key's 0-based position: rank DEPTH + 1


def _environment():
    env = dict(os.environ)
    here = os.path.dirname(os.path.dirname(os.path.abspath(quorin.__file__)))
    # This process's own path first (another NumPy, say), then where its quorin lives.
    env["PYTHONPATH"] = os.pathsep.join(p for p in [env.get("PYTHONPATH", ""), here] if p)
    return env


def _sigint_as_usual():
    # A shell that starts a job in the background ignores SIGINT for it, and the children
    # inherit that: the command under test gets the ordinary Ctrl-C.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def command(*args, cwd, timeout=180):
    return subprocess.run([sys.executable, "-m", "quorin", *map(str, args)], cwd=cwd,
                          env=_environment(), capture_output=True, text=True, timeout=timeout)


def start_command(*args, cwd):
    return subprocess.Popen([sys.executable, "-m", "quorin", *map(str, args)], cwd=cwd,
                            env=_environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, preexec_fn=_sigint_as_usual)


def configuration_at(probs, position):
    batch = next(iter(quorin.batches(probs, size=1, start=position, stop=position + 1)))
    return bytes(int(c) for c in batch.columns[0])


class Attack:
    def __init__(self, folder):
        self.folder = folder
        self.probs = np.random.default_rng(2028).dirichlet(np.full(256, 0.3), size=16)
        np.save(folder / "probs.npy", self.probs)
        np.savez(folder / "scores.npz", logp=np.log(self.probs), other=np.zeros(3))
        self.key = configuration_at(self.probs, DEPTH)
        self.ciphertext = quorin.AES128.encrypt(self.key, PLAINTEXT)
        self.pair = ["--plaintext", PLAINTEXT.hex(), "--ciphertext", self.ciphertext.hex()]


@pytest.fixture(scope="module")
def attack(tmp_path_factory):
    return Attack(tmp_path_factory.mktemp("command"))


def test_planted_key_found_at_its_exact_rank_and_ranked(attack):
    where = attack.folder
    low, high = quorin.rank(attack.probs, list(attack.key))
    assert low == high == DEPTH + 1

    done = command("search", "probs.npy", *attack.pair, "--stop", "2**20", "--json",
                   "--session", "planted", cwd=where)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["status"] == "found"
    assert (result["key"], result["rank"]) == (attack.key.hex(), DEPTH + 1)
    assert [h["rank"] for h in result["hits"]] == [DEPTH + 1]
    assert result["seconds"] >= 0 and result["tested"] >= DEPTH + 1
    assert os.path.exists(where / "planted.session.json")
    assert "quorin:" in done.stderr  # the status line

    # The same attack as log-likelihoods in an .npz, for people: the same key and rank.
    done = command("search", "scores.npz", "--array", "logp", "--log", *attack.pair,
                   "--start", "1e5", "--stop", "3*2**18", "--session", "logs", cwd=where)
    assert done.returncode == 0, done.stderr
    assert f"found key {attack.key.hex()} at rank {DEPTH + 1:,}" in done.stdout

    # Not in the range: every position before the key tested, status 1.
    done = command("search", "probs.npy", *attack.pair, "--stop", DEPTH, "--all", "--json",
                   "--quiet", "--session", "before", cwd=where)
    assert done.returncode == 1, done.stderr
    result = json.loads(done.stdout)
    assert (result["status"], result["hits"], result["tested"]) == ("not found", [], DEPTH)

    # rank: the key's exact rank, the count up to its cost, the cost its rank's budget reaches.
    cost = float(sum(-np.log(attack.probs[i, c]) for i, c in enumerate(attack.key)))
    done = command("rank", "probs.npy", attack.key.hex(), "--cost", repr(cost + 1e-9),
                   "--budget", DEPTH + 1, "--json", cwd=where)
    assert done.returncode == 0, done.stderr
    ranked = json.loads(done.stdout)
    assert ranked["rank"] == {"low": DEPTH + 1, "high": DEPTH + 1, "exact": True}
    assert ranked["cost"] == pytest.approx(cost, abs=1e-9)
    counted = ranked["counts"][0]
    assert [counted["low"], counted["high"]] == list(quorin.count(attack.probs, cost + 1e-9))
    assert ranked["budgets"][0]["key"] == attack.key.hex()
    assert ranked["budgets"][0]["cost"] == pytest.approx(cost, abs=1e-9)
    done = command("rank", "scores.npz", "--log", attack.key.hex(), "--array", "logp", cwd=where)
    assert done.returncode == 0, done.stderr
    assert f"rank {DEPTH + 1:,} (exact)" in done.stdout

    # benchmark, on the built-in matrix, tiny.
    done = command("benchmark", "--size", "2**14", "--depths", "0,2**16", "--depth", "2**30",
                   "--json", cwd=where)
    assert done.returncode == 0, done.stderr
    measured = json.loads(done.stdout)
    assert [row["start"] for row in measured["depths"]] == [0, 2**16]
    assert all(row["per_second"] > 0 for row in measured["depths"])
    assert measured["seconds_to_depth"] > 0


def _tested_in_checkpoint(path):
    try:
        with open(path) as f:
            return sum(s["tested"] for s in json.load(f)["finished"])
    except (OSError, ValueError, KeyError):
        return 0


# Worker processes would need the sanitizer runtime preloaded too.
needs_processes = pytest.mark.skipif(bool(os.environ.get("QUORIN_ASAN")), reason="worker processes")


@pytest.mark.skipif(os.name != "posix", reason="POSIX signals")
@needs_processes
def test_interrupted_session_restores_to_the_uninterrupted_answer(attack):
    where = attack.folder
    stop = 2**24
    # A key in the last task of the range: the search goes through every task before it.
    late = configuration_at(attack.probs, stop - 1000)
    pair = ["--plaintext", PLAINTEXT.hex(),
            "--ciphertext", quorin.AES128.encrypt(late, PLAINTEXT).hex()]
    search = ["search", "probs.npy", *pair, "--stop", "2**24", "--all", "--json",
              "--task-size", "2**20"]
    whole = command(*search, "--quiet", "--session", "whole", cwd=where)
    assert whole.returncode == 0, whole.stderr
    uninterrupted = json.loads(whole.stdout)
    expected = uninterrupted["hits"]
    low, high = quorin.rank(attack.probs, list(late))
    assert [h["rank"] for h in expected] == [stop - 999] == [low] == [high]

    # Stopped by SIGINT once the checkpoint records a task, in worker processes.
    child = start_command(*search, "--workers", "2", "--status-every", "0.2",
                          "--session", "cut", cwd=where)
    try:
        deadline = time.monotonic() + 120
        while _tested_in_checkpoint(where / "cut.checkpoint.json") == 0:
            assert child.poll() is None, child.communicate()
            assert time.monotonic() < deadline, "no task finished"
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 130, err
    stopped = json.loads(out)
    assert stopped["status"] == "interrupted"
    recorded = _tested_in_checkpoint(where / "cut.checkpoint.json")
    assert 0 < recorded < stop, "the search ended before it was interrupted"
    assert stopped["tested"] == recorded
    # The command's last word is how to go on; multiprocessing's resource tracker, a process
    # of its own, may still report the workers' semaphores after it.
    own = [line for line in err.strip().splitlines() if "resource_tracker" not in line]
    assert "--restore" in own[-1]
    # Not a terminal: status lines, each a line of its own, saying how far the search is.
    assert any(line.startswith("quorin: ") and "tested (" in line for line in err.splitlines())

    # An unfinished session is neither replaced nor continued with other inputs.
    other = pair[:3] + [bytes(16).hex()]
    for args, words in [(search, "--restore"),
                        (["search", "probs.npy", *other, "--stop", "2**24", "--restore"], "pairs"),
                        (["search", "--stop", "2**23", "--restore"], "stop")]:
        done = command(*args, "--session", "cut", cwd=where)
        assert done.returncode == 2, (args, done.stderr)
        assert len(done.stderr.strip().splitlines()) == 1 and words in done.stderr, done.stderr

    # Restored from the session alone (in this process this time): the same hits, and
    # exactly the configurations the checkpoint had not recorded tested.
    done = command("search", "--session", "cut", "--restore", "--json", "--quiet", cwd=where)
    assert done.returncode == 0, done.stderr
    restored = json.loads(done.stdout)
    assert restored["hits"] == expected
    assert restored["tested_before"] == recorded
    assert restored["tested"] + restored["tested_before"] == uninterrupted["tested"]
    assert stop - 999 <= uninterrupted["tested"] <= stop
    # A finished session: --restore reports it again, a new search may replace it.
    again = command("search", "--session", "cut", "--restore", "--json", "--quiet", cwd=where)
    assert again.returncode == 0 and json.loads(again.stdout)["hits"] == expected
    assert json.loads(again.stdout)["tested"] == 0


BAD_INPUTS = [
    (["search", "missing.npy"], "no such file"),
    (["search", "cube.npy"], "3-dimensional"),
    (["search", "rows15.npy"], "16"),
    (["search", "words.csv"], "line 2"),
    (["search", "scores.npz"], "--array"),
    (["search", "scores.npz", "--array", "nope"], "nope"),
    (["search", "negative.npy"], "probs"),
    (["rank", "zero_row.npy", "00" * 16], "all zero"),
    (["search", "probs.npy", "--plaintext", "zz" * 16, "--ciphertext", "00" * 16], "hex"),
    (["search", "probs.npy", "--plaintext", "00" * 15, "--ciphertext", "00" * 16], "30 hex digits"),
    (["search", "probs.npy", "--plaintext", "00" * 16], "pairs"),
    (["search", "probs.npy", "--start", "10", "--stop", "5"], "below"),
    (["search", "probs.npy", "--stop", "2**"], "not a position"),
    (["search", "probs.npy", "--stop", "1e-3"], "whole number"),
    (["search", "probs.npy", "--start", "2**200"], "past the last"),
    (["search", "probs.npy", "--stop", "-5"], "--stop"),
    (["search", "probs.npy", "--workers", "0"], "--workers"),
    (["search", "probs.npy", "--test", "no_such_module:test"], "no_such_module"),
    (["search", "probs.npy", "--no-such-option"], "--no-such-option"),
    (["rank", "probs.npy", "00" * 15], "15 values"),
    (["rank", "probs.npy", "--budget", "2**200"], "--budget"),
]


@pytest.mark.parametrize("args, words", BAD_INPUTS, ids=[" ".join(a)[:40] for a, _ in BAD_INPUTS])
def test_bad_input_exits_2_with_one_line_naming_it(attack, args, words):
    where = attack.folder
    if not (where / "cube.npy").exists():
        np.save(where / "cube.npy", np.ones((2, 2, 2)))
        np.save(where / "rows15.npy", attack.probs[:15])
        np.save(where / "negative.npy", -attack.probs)
        zero_row = attack.probs.copy()
        zero_row[3] = 0.0
        np.save(where / "zero_row.npy", zero_row)
        (where / "words.csv").write_text("0.5,0.5\n0.5,abc\n")
    if args[0] == "search":
        given = "--plaintext" in args or "--test" in args
        args = args + (["--session", "bad"] if given else [*attack.pair, "--session", "bad"])
    done = command(*args, cwd=where)
    assert done.returncode == 2, (done.stdout, done.stderr)
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and words in lines[0], done.stderr
    assert "log=True" not in lines[0]
    assert done.stdout == ""
    assert not (where / "bad.session.json").exists()


@needs_processes
def test_python_test_in_worker_processes_and_on_a_dask_scheduler(attack, tmp_path):
    positions = [1000, 5000, DEPTH]
    keys = [list(configuration_at(attack.probs, p)) for p in positions]
    (tmp_path / "planted.py").write_text(textwrap.dedent(f"""
        import numpy as np
        KEYS = np.array({keys})

        def check(columns, costs):
            return (columns[:, None, :] == KEYS[None]).all(axis=2).any(axis=1)
        """))
    np.save(tmp_path / "probs.npy", attack.probs)
    search = ["search", "probs.npy", "--stop", "2**19", "--task-size", "2**17", "--all",
              "--json", "--quiet"]
    expected = [quorin.rank(attack.probs, key)[0] for key in keys]
    assert expected == [p + 1 for p in positions]

    done = command(*search, "--test", "planted:check", "--session", "local", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert [h["rank"] for h in json.loads(done.stdout)["hits"]] == expected

    distributed = pytest.importorskip("distributed")
    import logging

    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  protocol="tcp", dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster:
        for test, ranks, name in [(["--test", "planted:check"], expected, "dask-test"),
                                  (attack.pair, [DEPTH + 1], "dask-aes")]:
            done = command(*search, *test, "--workers", cluster.scheduler_address,
                           "--session", name, cwd=tmp_path)
            assert done.returncode == 0, done.stderr
            assert [h["rank"] for h in json.loads(done.stdout)["hits"]] == ranks


def test_help_of_every_command_has_an_example(tmp_path):
    for sub in ("search", "rank", "benchmark"):
        done = command(sub, "--help", cwd=tmp_path)
        assert done.returncode == 0 and "examples:" in done.stdout, done.stderr
    from importlib import metadata

    try:
        scripts = metadata.distribution("quorin").entry_points
    except metadata.PackageNotFoundError:
        pytest.skip("quorin is not installed as a distribution")
    assert [e.value for e in scripts if e.group == "console_scripts" and e.name == "quorin"] \
        == ["quorin.cli:main"]
