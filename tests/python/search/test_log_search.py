"""Searches and plans of log-likelihood matrices (log=True): hits against brute force over
the log-domain costs, tasks that carry the flag, checkpoints that tell the two forms apart,
the native AES-128 tester on a template attack's scores."""

import json
import math
import pickle

import numpy
import pytest

import quorin
from cost_order.test_log_likelihoods import log_cost_order, template_scores


class Planted:
    """Accepts the given configurations (a mask of the batch)."""

    def __init__(self, wanted):
        self.wanted = {tuple(int(c) for c in w) for w in wanted}

    def __call__(self, columns, costs):
        return numpy.array([tuple(c) in self.wanted for c in columns.tolist()], dtype=bool)


SCORES = template_scores(21, 4, [8, 5, 7, 6])
COSTS, ORDER = log_cost_order(SCORES)
PLANTED = [3, 250, 251, 1000, len(ORDER) - 2]


def test_search_and_plan_of_log_likelihoods_against_brute_force(tmp_path):
    assert min(float(numpy.ptp(r)) for r in SCORES) > 2000
    test = Planted(ORDER[p] for p in PLANTED)
    hits = quorin.search(SCORES, test, start=2, stop=None, workers=1, task_size=97, log=True)
    assert [h.rank for h in hits] == [p + 1 for p in PLANTED]
    assert [h.columns for h in hits] == [tuple(ORDER[p].tolist()) for p in PLANTED]
    numpy.testing.assert_allclose([h.cost for h in hits], COSTS[PLANTED], rtol=1e-12)
    # The range from start to stop only.
    inside = quorin.search(SCORES, test, start=4, stop=1000, workers=1, task_size=50, log=True)
    assert [h.rank for h in inside] == [251, 252]

    # The tasks of a plan carry the flag, pickle with it and tile the range.
    tasks = quorin.plan(SCORES, start=0, stop=None, task_size=300, log=True)
    assert all(t.log for t in tasks) and "log=True" in repr(tasks[0])
    again = pickle.loads(pickle.dumps(tasks[1]))
    assert again.log and (again.lower, again.upper) == (tasks[1].lower, tasks[1].upper)
    before, found = 0, []
    for task in tasks:
        result = quorin.run_task(task, test, threads=2)
        found += [h.rank for h in result.ranked(before)]
        before += result.tested
    assert before == len(ORDER) and found == [p + 1 for p in PLANTED]
    # A task built as before, with four fields, holds probabilities.
    assert quorin.Task(0, tasks[0].probs, tasks[0].lower, None).log is False

    # Checkpoints: resumed as the same search; the probability form is another search.
    path = tmp_path / "log.json"
    assert quorin.search(SCORES, test, stop=None, workers=1, task_size=200, checkpoint=path,
                         log=True) == hits_from(0, test)
    assert json.loads(path.read_text())["finished"]
    assert quorin.search(SCORES, test, stop=None, workers=1, checkpoint=path, log=True) == hits_from(0, test)
    with pytest.raises(ValueError, match="records another search"):
        quorin.search([numpy.exp(r - r.max()) for r in SCORES], test, stop=None, workers=1,
                      checkpoint=path)


def hits_from(start, test):
    return quorin.search(SCORES, test, start=start, stop=None, workers=1, log=True)


def test_native_tester_on_template_scores():
    rng = numpy.random.default_rng(4)
    scores = rng.normal(0.0, 1.0, size=(16, 256)) * 400.0  # rows spanning thousands of nats
    secret = scores.argmax(axis=1).astype(numpy.uint8)
    secret[[2, 9]] = numpy.argsort(-scores[[2, 9]], axis=1)[:, 1]
    plaintext = bytes(range(16))
    tester = quorin.AES128(plaintext, quorin.AES128.encrypt(secret.tobytes(), plaintext))
    rank = quorin.rank(scores, secret.tobytes(), log=True)
    assert rank.exact
    hits = quorin.search(scores, tester, stop=rank.low + 10, workers=1, first=True, log=True)
    assert bytes(hits[0].columns) == secret.tobytes() and hits[0].rank == rank.low
    assert hits[0].cost == pytest.approx(quorin._core._cost(scores, secret.tobytes(), log=True))
