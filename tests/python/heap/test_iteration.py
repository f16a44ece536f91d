"""Iterator protocol: next() advances the instance, iter() hands out independent copies."""

import itertools

import pytest

from conftest import Enumerator, configurations, drain, run_python

import quorin

PROBS = [[0.5, 0.3, 0.2], [0.7, 0.3]]
EXPECTED = [[0, 0], [1, 0], [0, 1], [2, 0], [1, 1], [2, 1]]


def as_lists(arrays):
    return [a.tolist() for a in arrays]


def test_reference_sequence():
    # Everything below compares against this, so pin it first.
    assert configurations(PROBS) == EXPECTED


def test_iter_returns_a_new_instance_of_the_class(cache):
    enumerator = Enumerator(PROBS, cache)
    copy = iter(enumerator)
    assert copy is not enumerator
    assert type(copy) is Enumerator
    copy_of_copy = iter(copy)
    assert copy_of_copy is not copy and copy_of_copy is not enumerator


@pytest.mark.parametrize(
    "consume",
    [
        pytest.param(lambda e: [c for c in e], id="for"),
        pytest.param(list, id="list"),
        pytest.param(lambda e: [a for a, in zip(e)], id="zip"),
        pytest.param(lambda e: list(itertools.islice(e, 2, None)), id="islice"),
        pytest.param(tuple, id="tuple"),
    ],
)
@pytest.mark.parametrize("advanced", [0, 1, 3])
def test_consumers_iterate_a_copy_and_leave_the_instance_in_place(consume, advanced, cache):
    enumerator = Enumerator(PROBS, cache)
    for _ in range(advanced):
        next(enumerator)
    first_pass = as_lists(consume(enumerator))
    second_pass = as_lists(consume(enumerator))
    assert first_pass == second_pass
    assert first_pass  # every consumer above yields something for these positions
    assert drain(enumerator) == EXPECTED[advanced:]


def test_list_gives_the_remaining_configurations(cache):
    enumerator = Enumerator(PROBS, cache)
    for position in range(len(EXPECTED) + 1):
        assert as_lists(list(enumerator)) == EXPECTED[position:]
        next(enumerator, None)


def test_next_advances_the_instance_itself(cache):
    enumerator = Enumerator(PROBS, cache)
    assert [next(enumerator).tolist() for _ in EXPECTED] == EXPECTED
    with pytest.raises(StopIteration):
        next(enumerator)


def test_list_of_an_advanced_iterator_leaves_it_where_it_was(cache):
    enumerator = Enumerator(PROBS, cache)
    it = iter(enumerator)
    assert next(it).tolist() == EXPECTED[0]
    assert as_lists(list(it)) == EXPECTED[1:]
    assert next(it).tolist() == EXPECTED[1]
    # The source never moved.
    assert next(enumerator).tolist() == EXPECTED[0]


def test_zip_of_an_instance_with_itself_pairs_equal_configurations(cache):
    enumerator = Enumerator(PROBS, cache)
    pairs = [(a.tolist(), b.tolist()) for a, b in zip(enumerator, enumerator)]
    assert pairs == [(c, c) for c in EXPECTED]
    assert next(enumerator).tolist() == EXPECTED[0]


def test_copies_advance_independently(cache):
    enumerator = Enumerator(PROBS, cache)
    next(enumerator)
    copy = iter(enumerator)
    next(copy)
    next(copy)
    copy_of_copy = iter(copy)
    assert next(enumerator).tolist() == EXPECTED[1]
    assert drain(copy_of_copy) == EXPECTED[3:]
    assert next(copy).tolist() == EXPECTED[3]
    assert drain(enumerator) == EXPECTED[2:]
    assert drain(copy) == EXPECTED[4:]


def test_copy_survives_its_source(cache):
    enumerator = Enumerator(PROBS, cache)
    next(enumerator)
    copy = iter(enumerator)
    del enumerator
    assert drain(copy) == EXPECTED[1:]


@pytest.mark.parametrize(
    "probs", [PROBS, [[1.0]], [], [[0.5, 0.5], [0.5, 0.0]]], ids=["ragged", "one", "empty", "zeros"]
)
def test_exhausted_instance_stays_exhausted(probs, cache):
    enumerator = Enumerator(probs, cache)
    drain(enumerator)
    for _ in range(3):
        with pytest.raises(StopIteration) as raised:
            next(enumerator)
        assert str(raised.value) == ""
    assert next(enumerator, None) is None
    copy = iter(enumerator)
    assert copy is not enumerator
    assert next(copy, None) is None
    assert list(enumerator) == []
    assert list(copy) == []


def test_exhaustion_comes_right_after_the_last_configuration(cache):
    # The call returning the last configuration succeeds; only the one after it stops.
    enumerator = Enumerator([[0.3, 0.7]], cache)
    assert next(enumerator).tolist() == [1]
    copy_before_last = iter(enumerator)
    assert next(enumerator).tolist() == [0]
    assert next(enumerator, None) is None
    assert next(copy_before_last).tolist() == [0]
    assert next(copy_before_last, None) is None


def test_class_members():
    cls = quorin.quorin
    assert quorin.quorin is Enumerator
    assert cls.__module__ == "quorin"
    assert cls.__qualname__ == "quorin"
    # pybind11 adds its interoperability hooks (prefixed "_pybind11"), __doc__ and
    # __module__; nothing else belongs to the class itself.
    own = {
        name
        for name in vars(cls)
        if not name.startswith("_pybind11") and name not in ("__doc__", "__module__")
    }
    assert own == {"__init__", "__iter__", "__next__", "next_batch", "__copy__", "__deepcopy__",
                   "__getstate__", "__setstate__", "__reduce_ex__"}
    public_module_names = {name for name in vars(quorin) if not name.startswith("_")}
    assert public_module_names == set(quorin.__all__)
    assert "quorin" in quorin.__all__


def test_instances_take_no_attributes():
    enumerator = Enumerator(PROBS)
    assert not hasattr(enumerator, "__dict__")
    with pytest.raises(AttributeError):
        enumerator.position = 3
    with pytest.raises(AttributeError):
        setattr(enumerator, "__next__", lambda: None)
    assert drain(enumerator) == EXPECTED


def test_class_can_be_subclassed(cache):
    class Labelled(Enumerator):
        def __init__(self, probs, label):
            super().__init__(probs, cache_assignments=cache)
            self.label = label

    labelled = Labelled(PROBS, "x")
    assert labelled.label == "x"
    assert isinstance(labelled, Enumerator)
    assert as_lists(list(labelled)) == EXPECTED
    assert next(labelled).tolist() == EXPECTED[0]
    assert drain(iter(labelled)) == EXPECTED[1:]
    assert drain(labelled) == EXPECTED[1:]


@pytest.mark.parametrize("call", [next, iter], ids=["next", "iter"])
def test_instance_made_without_init_is_refused_until_initialised(call):
    # __new__ alone leaves no enumerator: the methods must refuse, not read raw storage.
    bare = Enumerator.__new__(Enumerator)
    for _ in range(2):
        with pytest.raises(TypeError, match="__init__"):
            call(bare)
    bare.__init__(PROBS)
    assert drain(bare) == EXPECTED


@pytest.mark.parametrize("method", ["__next__", "__iter__"])
@pytest.mark.parametrize("receiver", [5, None, [[0.5, 0.5]]])
def test_methods_refuse_other_receivers(method, receiver):
    with pytest.raises(TypeError):
        getattr(Enumerator, method)(receiver)


def test_import_alone_does_not_import_numpy():
    result = run_python(
        "import sys, quorin\n"
        "assert 'numpy' not in sys.modules, 'import'\n"
        "e = quorin.quorin([[0.2, 0.8], [0.1, 0.9]])\n"
        "c = iter(e)\n"
        "assert 'numpy' not in sys.modules, 'construction or copy'\n"
        "assert next(c).tolist() == [1, 1]\n"
        "assert 'numpy' in sys.modules\n"
    )
    assert result.returncode == 0, result.stderr


def test_missing_numpy_fails_next_without_advancing():
    # A None entry in sys.modules makes every import of numpy fail. Once it is removed the
    # same instance must still hand out its first configuration.
    result = run_python(
        "import sys\n"
        "for name in ('numpy', 'numpy.core', 'numpy._core'):\n"
        "    sys.modules[name] = None\n"
        "import quorin\n"
        "e = quorin.quorin([[0.2, 0.8], [0.1, 0.9]])\n"
        "c = iter(e)\n"
        "for _ in range(2):\n"
        "    try:\n"
        "        next(e)\n"
        "    except ImportError:\n"
        "        pass\n"
        "    else:\n"
        "        raise AssertionError('next() worked without numpy')\n"
        "for name in ('numpy', 'numpy.core', 'numpy._core'):\n"
        "    del sys.modules[name]\n"
        "assert next(e).tolist() == [1, 1]\n"
        "assert next(c).tolist() == [1, 1]\n"
        "assert next(e).tolist() == [0, 1]\n"
    )
    assert result.returncode == 0, result.stderr
