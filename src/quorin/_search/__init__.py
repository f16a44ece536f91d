"""Searches over a range of the cost order, split into tasks that any engine can run.

Positions [start, stop) of the cost order are located once per search, as *bounds*: a bound
``(cost, columns)`` stands before every configuration of greater cost and every configuration
of cost ``cost`` whose columns are not lexicographically below ``columns``. The range is cut
at bounds chosen from the weight table so that each task holds about ``task_size``
configurations. A task holds its matrix and its two bounds, so it runs anywhere quorin is
installed: in this process, in local worker processes, on a concurrent.futures executor, on a
Dask cluster or through any map-like callable. A task walks every configuration between its
bounds, calls the user's test on every batch, and reports how many configurations it tested
and its hits by their index in the task. A hit's exact rank is ``start`` plus what the tasks
before it tested plus its index in its task, plus one.

NumPy, concurrent.futures and the engines are imported when a search needs them, so that
``import quorin`` stays light.

The package's modules, one step each: ``types`` (the public records), ``arguments``,
``core`` (the core's functions, looked up in one place), ``span`` (the range and its
pieces), ``run`` (one task), ``collect`` (results in order), ``checkpoint``, ``progress``,
``engines`` and ``workers`` (where tasks run), ``api`` (``plan`` and ``search``).
"""

from quorin._search.api import default_task_size, plan, search
from quorin._search.run import run_task
from quorin._search.types import Hit, Task, TaskHit, TaskResult

__all__ = ["Hit", "Task", "TaskHit", "TaskResult", "default_task_size", "plan", "run_task", "search"]
