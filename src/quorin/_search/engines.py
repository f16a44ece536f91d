"""Engines: where tasks run (this process, worker processes, executors, Dask, map-like callables)."""

import functools
import operator

from quorin._search import core
from quorin._search.arguments import _describe, _note
from quorin._search.constants import BATCH_SIZE
from quorin._search.run import _Indexing, _local_cores, _run, _run_native, run_task
from quorin._search.workers import (MISSING_MAIN_GUARD, _pickled_test, _run_in_worker, _start_worker,
                                    _warm_up)


def _engine(workers, test=None):
    """The engine ``workers`` names, checked before anything starts. None: a native tester
    in this process on every core (it runs in C++ on the walk's threads), any other test in
    a worker process per core."""
    import concurrent.futures

    if workers is None:
        if core._is_native(test):
            return _InProcess()
        return _OwnPool(_local_cores())
    if isinstance(workers, concurrent.futures.Executor):
        return _Futures(workers, _executor_capacity(workers))
    if hasattr(workers, "get_executor") and hasattr(workers, "nthreads"):  # a Dask Client
        return _Futures(workers.get_executor(pure=False), _dask_capacity(workers))
    if callable(workers):
        return _MapLike(workers)
    try:
        n = operator.index(workers)
    except TypeError:
        raise TypeError(f"workers must be None, a number of processes, an Executor, a Dask "
                        f"Client or a map-like callable, not {type(workers).__name__}") from None
    if n < 1:
        raise ValueError(f"workers is {n}: it must be at least 1")
    return _InProcess() if n == 1 else _OwnPool(n)


def _executor_capacity(executor):
    client = getattr(executor, "_client", None)  # Dask's ClientExecutor
    if client is not None and hasattr(client, "nthreads"):
        return _dask_capacity(client)
    workers = getattr(executor, "_max_workers", None)  # concurrent.futures' own executors
    return workers if isinstance(workers, int) and workers > 0 else _local_cores()


def _dask_capacity(client):
    return max(1, sum(client.nthreads().values()))


class _Engine:
    """What every engine offers: ``capacity`` (tasks it runs at once), ``open`` before the
    range is located, ``run`` and ``close``."""

    capacity = 1
    # Whether each task finishes before the next is cut (the last one may then count where
    # the stop falls as it walks, with a native tester).
    sequential = False

    def open(self, test, tasks):
        pass

    def close(self):
        pass


class _InProcess(_Engine):
    """workers=1: every task in this process, in order, each walked on every core."""

    sequential = True

    def run(self, collector, test):
        threads = _local_cores()
        # Without first, a task's hits are indexed on one thread while the next task is
        # tested (the test, in Python, leaves a core mostly idle); its result is added
        # after that task's, in order. With first, a task with hits ends the search: its
        # indices are waited for at once.
        indexing = None
        for task in collector.tasks():
            most = collector.most(task)
            if most is not None:  # the last task, cut past the stop (a native tester)
                outcome, cut, end = _run_native(task, test, threads, most)
                if cut:
                    collector.cut(task.id, end)
            else:
                outcome = _run(task, test, threads, BATCH_SIZE, None, later=not collector.first)
            if indexing is not None:
                collector.add(indexing.result())
                indexing = None
            if isinstance(outcome, _Indexing):
                collector.walked(task.id, outcome.tested)
                indexing = outcome
            else:
                collector.add(outcome)
        if indexing is not None:
            collector.add(indexing.result())


class _MapLike(_Engine):
    """``workers(fn, tasks)``, its results consumed as they come."""

    def __init__(self, map_):
        self.map = map_
        self.capacity = _local_cores()  # a guess: a map-like callable does not say

    def run(self, collector, test):
        given = []

        def tasks():
            for task in collector.tasks():
                given.append(task)
                yield task

        results = self.map(functools.partial(run_task, test=test), tasks())
        try:
            for result in results:
                collector.add(result)
                if collector.complete():
                    return
        except Exception as error:
            due = [task for task in given if collector.wanted(task)]
            if due:
                _note(error, f"while {_describe(due[0])} or a later one was running")
            raise
        finally:
            close = getattr(results, "close", None)
            if close is not None:
                close()


class _Futures(_Engine):
    """Tasks submitted to an executor, at most twice as many in flight as it has workers,
    collected as they finish."""

    restartable = False

    def __init__(self, executor, capacity):
        self.executor, self.capacity = executor, capacity

    def submit(self, task, test):
        return self.executor.submit(run_task, task, test)

    def run(self, collector, test):
        import concurrent.futures

        window, pending, deaths = 2 * self.capacity, {}, {}
        tasks = collector.tasks()
        try:
            while True:
                for task in tasks:
                    try:
                        pending[self.submit(task, test)] = task
                    except Exception as error:
                        _note(error, f"while submitting {_describe(task)}")
                        raise
                    if len(pending) >= window:
                        break
                if not pending:
                    return
                done, _ = concurrent.futures.wait(pending, return_when="FIRST_COMPLETED")
                broken = None
                for future in sorted(done, key=lambda f: pending[f].id):
                    task = pending.pop(future)
                    try:
                        result = future.result()
                    except Exception as error:
                        if self.restartable and _is_broken_pool(error):
                            broken = broken or error
                            pending[future] = task  # settled with the rest below
                            continue
                        _note(error, f"while running {_describe(task)}")
                        raise
                    if result is not None:  # None: stopped, the search is over
                        collector.add(result)
                if broken is not None:
                    pending = self._restart(pending, deaths, broken, collector, test)
                if collector.complete():
                    return
                for future, task in list(pending.items()):  # past the first hit
                    if not collector.wanted(task):
                        future.cancel()
                        del pending[future]
        finally:
            for future in pending:
                future.cancel()

    def _restart(self, pending, deaths, broken, collector, test):
        raise broken  # only an own pool restarts


def _is_broken_pool(error):
    from concurrent.futures.process import BrokenProcessPool

    return isinstance(error, BrokenProcessPool)


class _OwnPool(_Futures):
    """``n`` worker processes of our own, started with 'spawn' while this process locates
    the range (at most one per task expected). The test is pickled once
    (by value with cloudpickle when it is installed) and unpickled once per process. A task
    that was in flight when a worker process died runs again in a new pool, once; if workers
    die again while it runs, the search stops. Processes that die before they start (a
    script without the ``__main__`` guard) stop the search at once."""

    restartable = True

    def __init__(self, n):
        super().__init__(None, n)
        self.stop = self.started = self.payload = None
        self.unsent = set()  # tasks the broken pool refused: they never ran

    def open(self, test, tasks):
        """Starts the processes for about ``tasks`` tasks, so that they import quorin and
        unpickle the test while this process locates the range."""
        self.payload = _pickled_test(test)
        self.capacity = min(self.capacity, max(1, tasks))
        self._start()
        from concurrent.futures.process import BrokenProcessPool

        try:
            for _ in range(self.capacity):  # a submission finding no idle process starts one
                self.executor.submit(_warm_up)
        except BrokenProcessPool:
            pass  # the first task finds out why

    def close(self):
        if self.executor is not None:
            self._close()
            self.executor = None

    def submit(self, task, test):
        import concurrent.futures
        from concurrent.futures.process import BrokenProcessPool

        try:
            return self.executor.submit(_run_in_worker, task)
        except BrokenProcessPool as error:
            # The pool broke after the last wait: settled with the other tasks in flight.
            self.unsent.add(task.id)
            future = concurrent.futures.Future()
            future.set_exception(error)
            return future

    def _start(self):
        import concurrent.futures
        import multiprocessing

        # 'spawn': fresh interpreters, which inherit no threads or locks from this process
        # (a Dask client, a progress bar, the caller's own threads) and behave the same on
        # every platform. Their start, a fraction of a second, is paid once per search, while
        # this process locates the range.
        context = multiprocessing.get_context("spawn")
        self.stop, self.started = context.Event(), context.Event()
        self.executor = concurrent.futures.ProcessPoolExecutor(
            self.capacity, mp_context=context, initializer=_start_worker,
            initargs=(self.stop, self.started, self.payload))

    def _close(self):
        self.stop.set()  # running tasks return at their next batch
        self.executor.shutdown(wait=True, cancel_futures=True)

    def _restart(self, pending, deaths, broken, collector, test):
        if not self.started.is_set():
            self._close()
            raise RuntimeError(f"worker processes ended while starting, before any of them "
                               f"could run a task: {MISSING_MAIN_GUARD} (their own error "
                               f"output, above, tells more)") from broken
        self._close()  # every future of the broken pool is settled after this
        lost = []
        for future, task in pending.items():
            if future.done() and not future.cancelled() and future.exception() is None:
                if future.result() is not None:
                    collector.add(future.result())
            else:
                lost.append(task)
        lost.sort(key=lambda t: t.id)
        for task in lost:
            if task.id not in self.unsent:
                deaths[task.id] = deaths.get(task.id, 0) + 1
        self.unsent.clear()
        twice = [task for task in lost if deaths.get(task.id, 0) > 1]
        if twice:
            where = ("; the finished tasks are in the checkpoint" if collector.record
                     else "")
            raise RuntimeError(
                f"worker processes died twice while {_list(twice)} ran: the test ends its "
                f"process, crashes, or memory runs out{where}") from broken
        self._start()
        return {self.submit(task, test): task for task in lost if collector.wanted(task)}


def _list(tasks):
    return "; ".join(_describe(task) for task in tasks)
