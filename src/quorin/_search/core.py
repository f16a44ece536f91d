"""The core's functions a search is built on, looked up in one place."""


def _engine_api():
    """The module holding ``_locate``, ``_cuts``, ``_TaskWalk`` and ``_run_native``: bounds
    of positions, cuts of a range from the weight table, the walk of a task, a native
    tester's run. Looked up here alone."""
    from quorin import _core

    if not hasattr(_core, "_TaskWalk"):
        raise RuntimeError("this build of quorin has no task walk (quorin._core._TaskWalk): "
                           "rebuild quorin from a source tree that has it")
    return _core


def _log_kw(log):
    """The keyword the core's task functions take for a matrix of log-likelihoods; none for
    probabilities, so that calls on them stay as they always were."""
    return {"log": True} if log else {}


def _check_test(test):
    if not (callable(test) or _is_native(test)):
        raise TypeError(f"test must be callable or a native tester, not "
                        f"{type(test).__name__}")


def _native_tester_type():
    from quorin import _core

    return getattr(_core, "Tester", ())


def _is_native(test):
    """Whether ``test`` is a native tester (it runs in C++ on the walk's threads)."""
    native = _native_tester_type()
    return bool(native) and isinstance(test, native)
