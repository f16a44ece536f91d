"""Worker processes: the test sent to them, their start, a task run in them, and the
refusal of a search started while a worker imports its script."""

import sys

from quorin._search.constants import BATCH_SIZE
from quorin._search.run import _local_cores, _run


MISSING_MAIN_GUARD = (
    "worker processes import the script that started them; this one starts a search at "
    "its top level. Start it under `if __name__ == \"__main__\":` so that it runs in the "
    "script alone, not in every worker process")


def _refuse_while_bootstrapping():
    """A search in a worker process that is still importing the script that started it
    (a script without the ``__main__`` guard) would run again in every worker and start
    worker processes of its own: refused, with the reason."""
    import multiprocessing

    if getattr(multiprocessing.current_process(), "_inheriting", False):
        raise RuntimeError(f"quorin.search was called while a worker process was starting: "
                           f"{MISSING_MAIN_GUARD}")


def _pickled_test(test):
    """``test`` as bytes for worker processes: by value with cloudpickle when it is
    installed (lambdas, functions of a notebook or of the script), else by reference."""
    import pickle

    try:
        import cloudpickle
    except ImportError:
        cloudpickle = None
    if cloudpickle is None and _defined_interactively(test):
        raise TypeError(
            "test is defined in a notebook or an interactive session, which worker processes "
            "cannot import: install cloudpickle (the test is then sent by value), define it "
            "in a module, or run it in this process with workers=1")
    try:
        if cloudpickle is not None:
            return cloudpickle.dumps(test, protocol=pickle.HIGHEST_PROTOCOL)
        return pickle.dumps(test, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:
        how = ("cloudpickle could not pickle it" if cloudpickle is not None else
               "it must be a function defined at the top level of a module or an instance of "
               "such a class, or cloudpickle must be installed to send lambdas and local "
               "functions by value")
        raise TypeError(f"test must be picklable to run in worker processes, and this one is "
                        f"not ({error}): {how}; workers=1 runs it in this process") from None


def _defined_interactively(test):
    main = sys.modules.get("__main__")
    if main is None or hasattr(main, "__file__"):
        return False
    module = getattr(test, "__module__", None) or type(test).__module__
    return module == "__main__" or type(test).__module__ == "__main__"


_stop_event = None
_worker_test = None
_worker_test_error = None
_in_task = False


class _Stopped(Exception):
    """Raised in a worker's task when the search is over: a native tester's walk, which
    never returns to Python between batches, stops at the signal its stop event sends."""


def _start_worker(stop, started, payload):
    global _stop_event, _worker_test, _worker_test_error
    import pickle
    import signal
    import threading

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the search's to handle
    _stop_event = stop
    if hasattr(signal, "SIGUSR1"):
        signal.signal(signal.SIGUSR1, _stop_task)
        threading.Thread(target=_watch_stop, name="quorin stop", daemon=True).start()
    try:
        _worker_test = pickle.loads(payload)
    except BaseException as error:  # reported with the first task, naming it
        _worker_test_error = f"{type(error).__name__}: {error}"
    started.set()


def _watch_stop():
    """Looks for the search's stop every 50 ms and then signals this process, whose running
    task stops within milliseconds (the core's long calls check for signals every 5 ms).
    It polls rather than waits: a process that dies while waiting on the event would leave
    the event's setter waiting for it forever."""
    import os
    import signal
    import time

    while not _stop_event.is_set():
        time.sleep(0.05)
    os.kill(os.getpid(), signal.SIGUSR1)


def _stop_task(signum, frame):
    if _in_task:
        raise _Stopped()


def _warm_up():
    pass


def _run_in_worker(task):
    global _in_task
    if _worker_test_error is not None:
        raise RuntimeError(f"a worker process could not unpickle the test "
                           f"({_worker_test_error})")
    if _stop_event.is_set():
        return None
    _in_task = True
    try:
        # The hits on every core: while the other workers test, the same work either way;
        # the last task's alone while they wait.
        return _run(task, _worker_test, 1, BATCH_SIZE, _stop_event.is_set, index_threads=_local_cores())
    except _Stopped:
        return None  # the search is over: nothing of this task is wanted
    finally:
        _in_task = False
