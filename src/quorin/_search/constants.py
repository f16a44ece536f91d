"""A search's tunable sizes and the checkpoint's format."""

import typing as _typing


PLAN_TASK_SIZE = 2**28
# search's default task size: about 8 tasks per worker, within these bounds
MIN_TASK_SIZE, MAX_TASK_SIZE = 2**23, 2**28
TASKS_PER_WORKER = 8
# the first task of a search from position 2**32 or above it (grown with depth below it:
# see api._depth_scale); the next ones grow by FRONT_GROWTH up to the task size
FIRST_TASK_SIZE = 2**22
FRONT_GROWTH = 1.25
BATCH_SIZE = 2**20
# cuts asked of the weight table at once; a search to the end makes its tasks as it goes
CUTS_PER_CALL = 1024
# plan() returns a list; past this many tasks that list alone would take gigabytes
MAX_PLANNED_TASKS = 2**24
CHECKPOINT_FORMAT = "quorin search checkpoint"
CHECKPOINT_VERSION = 2

Bound = _typing.Tuple[float, _typing.Tuple[int, ...]]
