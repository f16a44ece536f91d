"""The subcommands: search, rank and benchmark, built on quorin's public Python API."""

import json
import math
import os
import signal
import sys
import threading
import time

import numpy

import quorin
from quorin.cli import inputs
from quorin.cli.inputs import BadInput, parse_position, parse_stop, show_key, show_position
from quorin.cli.session import Session
from quorin.cli.status import Status, count_text, duration_text

# Exit statuses
FOUND, NOT_FOUND, BAD_INPUT, FAILED, INTERRUPTED = 0, 1, 2, 3, 130
DEFAULT_SESSION = "quorin"
# How long a Ctrl-C waits for the search to stop by itself before the command ends the
# process (worker processes finish a native tester's task before they look up).
GRACE = 1.0
AFTER_WORKERS_END = 0.8


# ---------------------------------------------------------------------------------------
# search


def search(args):
    session = Session(args.session or DEFAULT_SESSION)
    recorded = session.read() if args.restore else None
    if args.restore and recorded is None:
        raise BadInput(f"--restore: no session {session.name!r} here "
                       f"({session.header_path} does not exist)")
    given = _search_inputs(args, recorded)
    matrix = inputs.load_matrix(given["matrix_file"], given["array"])
    lengths = inputs.row_lengths(matrix)
    test, test_name, test_digest = _test(given)
    if hasattr(test, "check_shape"):
        try:
            test.check_shape(lengths)
        except ValueError as error:
            raise BadInput(f"MATRIX {given['matrix_file']} ({inputs.describe_shape(matrix)}): "
                           f"{inputs.one_line(error)}") from None
    shown = f"MATRIX {given['matrix_file']}"
    probs, keywords = inputs.library_matrix(matrix, given["log"], shown)
    inputs.check_matrix(probs, keywords, shown)
    configurations = math.prod(lengths)
    start, stop = given["start"], given["stop"]
    if stop is not None and stop < start:
        raise BadInput(f"--stop {stop} is below --start {start}")
    if start >= configurations:
        raise BadInput(f"--start {start} is past the last configuration (the matrix has "
                       f"{configurations:,})")
    end = configurations if stop is None else min(stop, configurations)
    first = given["first"]
    task_size = (parse_position(args.task_size, "--task-size") if args.task_size else None)
    if task_size is not None and task_size < 1:
        raise BadInput("--task-size 0: a task holds at least one configuration")
    workers, engine = _workers(args.workers, native=hasattr(test, "check_shape"))

    record = {"matrix": inputs.matrix_digest(matrix, given["log"]), "log": given["log"],
              "pairs": given["pairs"], "test": test_name, "test_digest": test_digest,
              "start": start, "stop": stop, "first": first}
    sources = {"matrix_file": os.path.abspath(given["matrix_file"]), "array": given["array"]}
    try:
        session.open(record, sources, args.restore)
        if (recorded and recorded.get("state") == "finished" and recorded.get("result")
                and recorded["inputs"].get("first") == first):
            return _report_again(session, recorded["result"], args, given)
        status = Status(session.checkpoint_path, end - start, every=args.status_every,
                        enabled=not args.quiet,
                        unit="keys" if test_name is None else "configurations")
        status.start()
        if not args.quiet:
            _say(f"quorin search: {inputs.describe_shape(matrix)} matrix, positions "
                 f"{show_position(start)} to {show_position(end)}, "
                 f"{_describe_test(test, test_name)}, {engine}, session {session.name!r}"
                 + (f" (restored: {count_text(status.initial)} tested before)"
                    if args.restore else ""))
        run = _Run(session, status, args, given, start, end)
        with _Interrupts(run) as interrupts:
            began = time.monotonic()
            try:
                hits = quorin.search(probs, test, start=start, stop=stop, workers=workers,
                                     task_size=task_size, checkpoint=session.checkpoint_path,
                                     first=first, **keywords)
            except KeyboardInterrupt:
                return run.interrupted(time.monotonic() - began,
                                       interrupts.signalled or INTERRUPTED)
            except (ValueError, TypeError) as error:
                run.failed()
                raise BadInput(inputs.one_line(error)) from None
            except BaseException:
                run.failed()
                raise
            return run.finished(hits, time.monotonic() - began)
    finally:
        session.close()
        if hasattr(workers, "close"):
            try:
                workers.close()
            except Exception:
                pass


def _report_again(session, result, args, given):
    """--restore of a finished session: its recorded result, nothing searched again."""
    result = dict(result, tested=0, seconds=0.0,
                  tested_before=result.get("tested_before", 0) + result.get("tested", 0))
    session.stop("finished", result)
    _print_result(result, args.json, "keys" if given["pairs"] else "configurations")
    return FOUND if result.get("hits") else NOT_FOUND


def _search_inputs(args, recorded):
    """The inputs of the search: those given, the rest from a restored session's header."""
    old = recorded["inputs"] if recorded else {}
    sources = recorded.get("sources", {}) if recorded else {}
    given = {}
    given["matrix_file"] = args.matrix or sources.get("matrix_file")
    if not given["matrix_file"]:
        raise BadInput("MATRIX: give the matrix file (probabilities or, with --log, "
                       "log-likelihoods)")
    given["array"] = args.array if args.array is not None else (
        sources.get("array") if not args.matrix else None)
    given["log"] = args.log if args.log is not None else bool(old.get("log", False))
    if args.plaintext or args.ciphertext:
        if args.test:
            raise BadInput("--test: give either --test or --plaintext/--ciphertext, not both")
        if len(args.plaintext) != len(args.ciphertext):
            raise BadInput(f"--plaintext given {len(args.plaintext)} times and --ciphertext "
                           f"{len(args.ciphertext)}: give them in pairs")
        pairs = [[inputs.parse_block(p, "--plaintext").hex(),
                  inputs.parse_block(c, "--ciphertext").hex()]
                 for p, c in zip(args.plaintext, args.ciphertext)]
        given["pairs"], given["test"] = pairs, None
    elif args.test:
        given["pairs"], given["test"] = None, args.test
    elif recorded:
        given["pairs"], given["test"] = old.get("pairs"), old.get("test")
    else:
        raise BadInput("give the known plaintext/ciphertext pairs (--plaintext HEX "
                       "--ciphertext HEX) or a Python test (--test module:function)")
    given["start"] = (parse_position(args.start, "--start") if args.start is not None
                      else int(old.get("start", 0)))
    if args.stop is not None:
        given["stop"] = parse_stop(args.stop)
    else:
        given["stop"] = old.get("stop") if recorded else None
    given["first"] = args.first if args.first is not None else bool(old.get("first", True))
    return given


def _test(given):
    """(the test, its name for the session, the digest of its module)."""
    if given["pairs"]:
        plaintexts = [bytes.fromhex(p) for p, _ in given["pairs"]]
        ciphertexts = [bytes.fromhex(c) for _, c in given["pairs"]]
        try:
            return quorin.AES128(plaintexts, ciphertexts), None, None
        except (ValueError, TypeError) as error:
            raise BadInput(f"--plaintext/--ciphertext: {inputs.one_line(error)}") from None
    test, digest = inputs.load_test(given["test"])
    return test, given["test"], digest


def _describe_test(test, name):
    if name is not None:
        return f"test {name}"
    pairs = len(test.plaintexts)
    return f"AES-128 ({test.implementation}, {pairs} pair{'s' if pairs > 1 else ''})"


def _workers(text, native):
    """(what quorin.search takes as workers, a phrase saying what runs the search)."""
    cores = _cores()
    if text is None or text == "auto":
        if native:  # a native tester runs on every core of this process, no copies
            return 1, f"this process on {cores} thread{'s' if cores > 1 else ''}"
        return None, f"{cores} worker process{'es' if cores > 1 else ''}"
    if "://" in text or (":" in text and not text.isdigit()):
        return _dask(text)
    try:
        n = int(text)
    except ValueError:
        raise BadInput(f"--workers {text!r}: a number of processes or a Dask scheduler's "
                       f"address (tcp://host:8786)") from None
    if n < 1:
        raise BadInput(f"--workers {n}: at least 1")
    if n == 1:
        return 1, f"this process on {cores} thread{'s' if cores > 1 else ''}"
    return n, f"{n} worker processes"


def _dask(address):
    try:
        from dask.distributed import Client
    except ImportError:
        raise BadInput(f"--workers {address}: a Dask scheduler needs dask.distributed "
                       f"(pip install distributed)") from None
    try:
        client = Client(address, timeout="10s")
    except (OSError, TimeoutError, ValueError) as error:
        raise BadInput(f"--workers {address}: cannot reach the scheduler "
                       f"({inputs.one_line(error)})") from None
    threads = sum(client.nthreads().values())
    return client, f"Dask scheduler {address} ({threads} worker threads)"


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


class _Run:
    """How a search run ends: its result printed and recorded in the session, once."""

    def __init__(self, session, status, args, given, start, end):
        self.session, self.status, self.args = session, status, args
        self.given, self.start, self.end = given, start, end
        self.lock = threading.RLock()  # a second Ctrl-C may land while it is held
        self.ended = False
        self.exit_status = None

    def _common(self, seconds, reached=0):
        """The fields every result has. ``reached``: configurations from the start up to
        the last hit, all tested once the search returns it (a search may return before
        the task holding its hit is recorded: quorin.search stops a task at the hit of a
        test that has at most one)."""
        self.status.stop()
        tested = max(self.status.tested, reached)
        return {"start": self.start, "stop": self.given["stop"], "end": self.end,
                "tested": tested - self.status.initial, "tested_before": self.status.initial,
                "seconds": round(seconds, 3), "session": self.session.name,
                "session_file": self.session.header_path}

    def finished(self, hits, seconds):
        with self.lock:
            if self.ended:
                return self.exit_status
            self.ended = True
            reached = max(h.rank for h in hits) - self.start if hits else 0
            result = self._common(seconds, reached)
            shown = [_hit(h) for h in hits]
            result.update(status="found" if hits else "not found", hits=shown,
                          key=shown[0]["key"] if shown else None,
                          rank=shown[0]["rank"] if shown else None)
            self.session.stop("finished", result)
            _print_result(result, self.args.json,
                          "keys" if self.given["pairs"] else "configurations")
            self.exit_status = FOUND if hits else NOT_FOUND
            return self.exit_status

    def interrupted(self, seconds, code=INTERRUPTED):
        with self.lock:
            if self.ended:
                return self.exit_status
            self.ended = True
            result = self._common(seconds)
            # Hits in finished tasks are in the checkpoint; their ranks come with --restore.
            result.update(status="interrupted", hits=[], key=None, rank=None,
                          hits_so_far=self.status.hits)
            self.session.stop("interrupted")
            if self.args.json:
                print(json.dumps(result), flush=True)
            _say(f"quorin search: stopped; {count_text(self.status.tested)} configurations are "
                 f"recorded in session {self.session.name!r}. Continue with: quorin search "
                 f"--session {self.session.name} --restore")
            self.exit_status = code
            return code

    def failed(self):
        """The search raised: the session stays for --restore if it holds finished tasks
        or was restored; a new one with nothing done is removed, so that the name is free
        for the corrected command."""
        with self.lock:
            if not self.ended:
                self.ended = True
                self.status.stop(show=False)
                if self.args.restore or self.status.tested > self.status.initial:
                    self.session.stop("interrupted")
                else:
                    self.session.discard()


class _Interrupts:
    """Ctrl-C (SIGINT) and SIGTERM stop the search: the first raises KeyboardInterrupt,
    which quorin.search answers by stopping its tasks; its checkpoint always holds every
    finished task. Worker processes finish a native tester's task before they look up, so
    if the search has not returned after GRACE seconds (or at a second signal) the command
    records the interruption, ends its worker processes and exits. Signals a parent set to
    be ignored (a background job) stay ignored."""

    def __init__(self, run):
        self.run = run
        self.signalled = None
        self.previous = {}

    def __enter__(self):
        if threading.current_thread() is not threading.main_thread():
            return self
        for signum in (signal.SIGINT, getattr(signal, "SIGTERM", None)):
            if signum is None:
                continue
            if signal.getsignal(signum) == signal.SIG_IGN:
                continue
            self.previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        return False

    def _handle(self, signum, frame):
        code = INTERRUPTED if signum == signal.SIGINT else 128 + signum
        if self.signalled is None:
            self.signalled = code
            threading.Thread(target=self._hard_stop, args=(GRACE,), daemon=True).start()
            raise KeyboardInterrupt
        self._hard_stop(0.0)

    def _hard_stop(self, delay):
        if delay:
            time.sleep(delay)
        self.run.interrupted(time.monotonic() - self.run.status.began, self.signalled)
        if _end_worker_processes() and delay:
            # The search notices its processes ended and returns; the command then exits
            # as usual (multiprocessing cleans up after itself). Else, end it here.
            time.sleep(AFTER_WORKERS_END)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(self.run.exit_status or INTERRUPTED)


def _end_worker_processes():
    """Terminates the worker processes this command started (they hold no state: their
    unfinished tasks are not in the checkpoint and run again on --restore); whether there
    were any."""
    import multiprocessing

    children = multiprocessing.active_children()
    for child in children:
        try:
            child.terminate()
        except Exception:
            pass
    return bool(children)


def _hit(hit):
    columns = [int(c) for c in hit.columns]
    return {"key": show_key(columns), "rank": int(hit.rank), "cost": _finite(hit.cost),
            "columns": columns}


def _finite(value):
    """A cost for JSON: None for +inf (a zero probability), which JSON cannot hold."""
    value = float(value)
    return value if math.isfinite(value) else None


def _print_result(result, as_json, unit):
    if as_json:
        print(json.dumps(result), flush=True)
        return
    for hit in result["hits"]:
        print(f"found key {hit['key']} at rank {hit['rank']:,} (cost {_show_cost(hit['cost'])})")
    if not result["hits"]:
        print(f"not found: no key in positions {show_position(result['start'])} to "
              f"{show_position(result['end'])}")
    print(f"{count_text(result['tested'])} {unit} tested in "
          f"{duration_text(result['seconds'])}"
          + (f" ({count_text(result['tested_before'])} before, in the session)"
             if result["tested_before"] else ""), flush=True)


def _show_cost(cost):
    return "inf" if cost is None else f"{cost:.6g}"


def _say(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------
# rank


def rank(args):
    matrix = inputs.load_matrix(args.matrix, args.array)
    lengths = inputs.row_lengths(matrix)
    shown = f"MATRIX {args.matrix}"
    probs, keywords = inputs.library_matrix(matrix, args.log, shown)
    inputs.check_matrix(probs, keywords, shown)
    if args.key is None and not args.cost and not args.budget:
        raise BadInput("KEY: give the key (hex) or --cost / --budget")
    exact = parse_position(args.exact_up_to, "--exact-up-to") if args.exact_up_to else None
    limit = {} if exact is None else {"exact_up_to": exact}
    configurations = math.prod(lengths)
    result = {"configurations": configurations}
    try:
        if args.key is not None:
            columns = inputs.parse_key(args.key, lengths)
            low, high = quorin.rank(probs, columns, **limit, **keywords)
            result["key"] = show_key(columns)
            result["rank"] = {"low": int(low), "high": int(high), "exact": low == high}
            result["cost"] = _finite(_cost(matrix, columns, args.log))
        counts = []
        for text in args.cost or []:
            cost = _float(text, "--cost")
            low, high = quorin.count(probs, cost, **limit, **keywords)
            counts.append({"cost": cost, "low": int(low), "high": int(high),
                           "exact": low == high})
        if counts:
            result["counts"] = counts
        budgets = []
        for text in args.budget or []:
            n = parse_position(text, "--budget")
            if not 1 <= n <= configurations:
                raise BadInput(f"--budget {text}: between 1 and the {configurations:,} "
                               f"configurations of the matrix")
            budgets.append(_budget(probs, keywords, n))
        if budgets:
            result["budgets"] = budgets
    except (ValueError, TypeError) as error:
        raise BadInput(inputs.one_line(error)) from None
    if args.json:
        print(json.dumps(result), flush=True)
        return 0
    if "rank" in result:
        r = result["rank"]
        if r["exact"]:
            print(f"key {result['key']}: rank {r['low']:,} (exact), "
                  f"cost {_show_cost(result['cost'])}")
        else:
            print(f"key {result['key']}: rank between {show_position(r['low'])} and "
                  f"{show_position(r['high'])}, cost {_show_cost(result['cost'])}")
    for c in result.get("counts", []):
        told = (f"{c['low']:,}" if c["exact"]
                else f"between {show_position(c['low'])} and {show_position(c['high'])}")
        print(f"cost at most {c['cost']:.6g}: {told} configurations")
    for b in result.get("budgets", []):
        print(f"budget {show_position(b['budget'])}: reaches cost {_show_cost(b['cost'])} "
              f"(the key at that rank: {b['key']})")
    return 0


def _budget(probs, keywords, n):
    """The cost the first ``n`` configurations of the cost order reach: the cost of the
    one at rank n, from quorin.batches at position n - 1."""
    batch = next(iter(quorin.batches(probs, size=1, start=n - 1, stop=n, **keywords)))
    columns = [int(c) for c in batch.columns[0]]
    return {"budget": n, "cost": _finite(batch.costs[0]), "key": show_key(columns),
            "columns": columns}


def _cost(matrix, columns, log):
    """A key's cost: the sum over rows of -ln p (of each row's softmax for log-likelihoods)."""
    total = 0.0
    for row, c in zip(matrix, columns):
        row = numpy.asarray(row, dtype=numpy.float64)
        if log:
            top = row.max()
            total += float(top + numpy.log(numpy.exp(row - top).sum()) - row[c])
        else:
            total += math.inf if row[c] == 0 else -math.log(row[c])
    return total


def _float(text, name):
    try:
        value = float(text)
    except ValueError:
        raise BadInput(f"{name} {text!r}: not a number") from None
    if math.isnan(value):
        raise BadInput(f"{name} {text!r}: not a number")
    return value


# ---------------------------------------------------------------------------------------
# benchmark


SYNTHETIC_SEED = 1


def synthetic_matrix(seed=SYNTHETIC_SEED):
    """The built-in 16 x 256 matrix: rows from a Dirichlet(0.3) distribution, seeded."""
    return numpy.random.default_rng(seed).dirichlet(numpy.full(256, 0.3), size=16)


def benchmark(args):
    if args.matrix:
        matrix = inputs.load_matrix(args.matrix, args.array)
        source = f"{args.matrix} ({inputs.describe_shape(matrix)})"
    else:
        matrix = synthetic_matrix(args.seed)
        source = f"synthetic 16 x 256, seed {args.seed}"
    shown = f"MATRIX {args.matrix}" if args.matrix else "the built-in matrix"
    probs, keywords = inputs.library_matrix(matrix, bool(args.log), shown)
    inputs.check_matrix(probs, keywords, shown)
    lengths = inputs.row_lengths(matrix)
    configurations = math.prod(lengths)
    # A pair no key of the matrix is likely to match: every configuration is tested.
    plaintext = bytes(range(16))
    tester = quorin.AES128(plaintext, quorin.AES128.encrypt(bytes([0xA5] * 16), plaintext))
    try:
        tester.check_shape(lengths)
    except ValueError as error:
        raise BadInput(f"MATRIX {args.matrix}: {inputs.one_line(error)}") from None
    size = parse_position(args.size, "--size")
    if size < 1:
        raise BadInput("--size 0: measure at least one configuration")
    depths = sorted({parse_position(d, "--depths") for d in args.depths.split(",") if d.strip()})
    if not depths:
        raise BadInput("--depths: give at least one position")
    for d in depths:
        if d + size > configurations:
            raise BadInput(f"--depths {d}: {d} + --size {size} is past the last configuration "
                           f"({configurations:,})")
    target = parse_position(args.depth, "--depth") if args.depth else None
    workers, engine = _workers(args.workers, native=True)
    if not args.json:
        print(f"quorin benchmark: AES-128 ({tester.implementation}), {engine}, matrix {source}")
        print(f"{'depth':>24}  {'keys/s':>10}  {'seconds':>8}  {'locating':>8}")
    rows = []
    try:
        for d in depths:
            # What the search spends locating its range, paid once per search: quorin.plan
            # locates the same two positions (timed the second time, as the first call on a
            # matrix also builds what every later call reuses).
            quorin.plan(probs, start=d, stop=d + size, task_size=size, **keywords)
            began = time.perf_counter()
            quorin.plan(probs, start=d, stop=d + size, task_size=size, **keywords)
            locating = time.perf_counter() - began
            began = time.perf_counter()
            quorin.search(probs, tester, start=d, stop=d + size, workers=workers,
                          task_size=size, **keywords)
            seconds = time.perf_counter() - began
            walking = seconds - locating
            rate = size / (walking if walking > 0.1 * seconds else seconds)
            rows.append({"start": d, "configurations": size, "seconds": round(seconds, 4),
                         "locating_seconds": round(locating, 4), "per_second": rate})
            if not args.json:
                print(f"{show_position(d):>24}  {count_text(rate):>10}  {seconds:8.2f}  "
                      f"{locating:8.2f}", flush=True)
    except (ValueError, TypeError) as error:
        raise BadInput(inputs.one_line(error)) from None
    finally:
        if hasattr(workers, "close"):
            workers.close()
    result = {"implementation": tester.implementation, "workers": engine, "matrix": source,
              "depths": rows}
    if target is not None:
        result["depth"] = target
        result["seconds_to_depth"] = time_to(rows, target)
        if not args.json:
            print(f"a search to position {show_position(target)} would take about "
                  f"{duration_text(result['seconds_to_depth'])} here (at the rates above)")
    if args.json:
        print(json.dumps(result), flush=True)
    return 0


def time_to(rows, target):
    """Seconds to test positions 0 .. target - 1 at the rates measured: each stretch
    between two measured depths at the rate of its lower end (the first from position 0),
    past the deepest at its rate."""
    total, here = 0.0, 0
    rates = [(r["start"], r["per_second"]) for r in sorted(rows, key=lambda r: r["start"])]
    for k, (depth, rate) in enumerate(rates):
        upto = rates[k + 1][0] if k + 1 < len(rates) else target
        upto = min(upto, target)
        if upto > here:
            total += (upto - here) / rate
            here = upto
    return total
