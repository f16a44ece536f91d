"""Constructor arguments: accepted and refused forms, validation messages, and the
independence of an enumerator from the objects it was built from."""

import collections
import decimal
import fractions
import math

import numpy as np
import pytest

from conftest import (
    Enumerator,
    Floatable,
    Indexable,
    IntOnly,
    assert_best_first,
    configurations,
    drain,
)

# Distinct, exactly representable probabilities: one unambiguous order, and every numeric
# form below converts to exactly these doubles.
PROBS = [[0.25, 0.75], [0.5, 0.0625, 0.4375]]
EXPECTED = [[1, 0], [1, 2], [0, 0], [0, 2], [1, 1], [0, 1]]


class IndexedSequence:
    """A sequence that can only be read by index; iterating it fails loudly."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        raise AssertionError("items must be fetched by index")


class LongerThanItsLength:
    """Answers more indices than len() admits, so only len() tells how many rows there are."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index >= 10:
            raise IndexError(index)
        return PROBS[index % 2]


class BrokenSequence:
    def __init__(self, length_error=None, item_error=None, length=2):
        self.length_error = length_error
        self.item_error = item_error
        self.length = length

    def __len__(self):
        if self.length_error is not None:
            raise self.length_error
        return self.length

    def __getitem__(self, index):
        if self.item_error is not None:
            raise self.item_error
        return PROBS[index]


class StrSubclass(str):
    pass


class BytesSubclass(bytes):
    pass


def test_keywords(cache):
    assert configurations(PROBS, cache) == EXPECTED
    assert drain(Enumerator(probs=PROBS)) == EXPECTED
    assert drain(Enumerator(PROBS, cache_assignments=cache)) == EXPECTED
    assert drain(Enumerator(cache_assignments=cache, probs=PROBS)) == EXPECTED


ACCEPTED_PROBS = {
    "tuple of tuples": tuple(tuple(row) for row in PROBS),
    "list of tuples": [tuple(row) for row in PROBS],
    "numpy rows": [np.array(row) for row in PROBS],
    "float32 rows": [np.array(row, dtype=np.float32) for row in PROBS],
    "numpy scalars": [[np.float64(p) for p in row] for row in PROBS],
    "fractions": [[fractions.Fraction(p) for p in row] for row in PROBS],
    "decimals": [[decimal.Decimal(p) for p in row] for row in PROBS],
    "__float__ objects": [[Floatable(p) for p in row] for row in PROBS],
    "indexed sequence": IndexedSequence([IndexedSequence(row) for row in PROBS]),
    "user list": collections.UserList([collections.UserList(row) for row in PROBS]),
    "length decides": LongerThanItsLength(),
}


@pytest.mark.parametrize("probs", ACCEPTED_PROBS.values(), ids=ACCEPTED_PROBS.keys())
def test_accepted_probs_forms(probs, cache):
    assert drain(Enumerator(probs, cache)) == EXPECTED


INTEGER_PROBS = {
    "ints": [[1, 3], [2, 1, 5]],
    "numpy ints": [[np.int64(1), np.int32(3)], [np.uint8(2), np.int16(1), np.int64(5)]],
    "__index__ objects": [[Indexable(1), Indexable(3)], [Indexable(2), Indexable(1), Indexable(5)]],
    "ranges": [range(1, 5, 2), [2, 1, 5]],
    "int array rows": [np.array([1, 3]), np.array([2, 1, 5])],
}


@pytest.mark.parametrize("probs", INTEGER_PROBS.values(), ids=INTEGER_PROBS.keys())
def test_integer_probabilities_are_taken_as_their_values(probs, cache):
    assert drain(Enumerator(probs, cache)) == configurations([[1.0, 3.0], [2.0, 1.0, 5.0]])


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
def test_two_dimensional_numpy_arrays(dtype, cache):
    probs = np.array([[1, 4, 2], [3, 6, 5]], dtype=dtype)
    assert drain(Enumerator(probs, cache)) == configurations(probs.astype(float).tolist())


def test_bools_are_one_and_zero(cache):
    assert drain(Enumerator([[True, False], [False, True, True]], cache)) == configurations(
        [[1.0, 0.0], [0.0, 1.0, 1.0]]
    )
    assert drain(Enumerator([[np.bool_(False), np.bool_(True)]], cache)) == [[1], [0]]


REFUSED_PROBS = {
    "str": "0.5",
    "str subclass": StrSubclass("ab"),
    "bytes": b"\x01\x02",
    "bytes subclass": BytesSubclass(b"\x01"),
    "list of str": ["0.5", "0.5"],
    "str element": [[0.5, "0.5"]],
    "list of bytes": [b"\x01\x02"],
    "list of bytes subclass": [BytesSubclass(b"\x01\x02")],
    "flat list": [0.25, 0.75],
    "flat tuple": (0.25, 0.75),
    "None": None,
    "number": 0.5,
    "None row": [[0.5], None],
    "None element": [[0.5, None]],
    "complex element": [[0.5, 0.5 + 0j]],
    "__int__ only element": [[0.5, IntOnly()]],
    "nested too deep": [[[0.5]]],
    "generator": (row for row in PROBS),
    "generator row": [(p for p in row) for row in PROBS],
    "iterator": iter(PROBS),
    "map": map(list, PROBS),
    "dict": {0: PROBS[0], 1: PROBS[1]},
    "dict row": [{0: 0.5, 1: 0.5}],
    "dict keys": {0.5: 0, 0.25: 1}.keys(),
    "dict values": {0: PROBS[0], 1: PROBS[1]}.values(),
    "dict items": {0: 0.5}.items(),
    "set": {(0.5, 0.5)},
    "set row": [{0.5, 0.25}],
    "frozenset": frozenset([(0.5,)]),
    "1-d numpy array": np.array([0.25, 0.75]),
}


@pytest.mark.parametrize("probs", REFUSED_PROBS.values(), ids=REFUSED_PROBS.keys())
def test_refused_probs_forms(probs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        Enumerator(probs)


def test_refused_probs_wins_over_invalid_values():
    # Conversion comes first: a matrix that would fail validation but does not convert
    # is a TypeError, not a ValueError.
    with pytest.raises(TypeError):
        Enumerator([[-1.0], ["x"]])
    with pytest.raises(TypeError):
        Enumerator([[-1.0]], "yes")


ACCEPTED_FLAGS = [True, False, None, 0, 1, 2.5, 0.0, np.bool_(True), np.bool_(False)]


@pytest.mark.parametrize("flag", ACCEPTED_FLAGS, ids=repr)
def test_accepted_cache_flags(flag):
    assert drain(Enumerator(PROBS, flag)) == EXPECTED
    assert drain(Enumerator(PROBS, cache_assignments=flag)) == EXPECTED


REFUSED_FLAGS = ["yes", "", [], [True], {}, {"a": 1}, (), object()]


@pytest.mark.parametrize("flag", REFUSED_FLAGS, ids=repr)
def test_refused_cache_flags(flag):
    with pytest.raises(TypeError):
        Enumerator(PROBS, flag)
    with pytest.raises(TypeError):
        Enumerator(PROBS, cache_assignments=flag)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((PROBS, True, 1), {}),
        ((PROBS,), {"cache": True}),
        ((), {"prob": PROBS}),
        ((PROBS,), {"probs": PROBS}),
        ((PROBS, True), {"cache_assignments": True}),
        ((), {"cache_assignments": True}),
    ],
    ids=["none", "three", "unknown keyword", "misspelt probs", "probs twice", "flag twice", "no probs"],
)
def test_wrong_argument_counts_and_keywords(args, kwargs):
    with pytest.raises(TypeError):
        Enumerator(*args, **kwargs)


@pytest.mark.parametrize(
    "error, kwargs",
    [
        (KeyError("missing"), {"item_error": KeyError("missing")}),
        (ZeroDivisionError("len"), {"length_error": ZeroDivisionError("len")}),
        (IndexError("short"), {"item_error": IndexError("short")}),
        (OverflowError("big"), {"length_error": OverflowError("big")}),
    ],
    ids=["item KeyError", "len ZeroDivisionError", "item IndexError", "len OverflowError"],
)
def test_errors_reading_probs_propagate_unchanged(error, kwargs):
    with pytest.raises(type(error)) as raised:
        Enumerator(BrokenSequence(**kwargs))
    assert raised.value is (kwargs.get("item_error") or kwargs.get("length_error"))
    # The same from inside a row.
    with pytest.raises(type(error)):
        Enumerator([[0.5], BrokenSequence(**kwargs)])


def test_negative_length_is_refused_by_python():
    with pytest.raises(ValueError):
        Enumerator(BrokenSequence(length=-1))


INVALID_PROBS = [
    ([[0.5], []], "probs[1] is empty"),
    ([[]], "probs[0] is empty"),
    ([[0.5], [], [-1]], "probs[1] is empty"),
    ([[0.5, 0.5], [0.1, -0.25]], "probs[1][1] is -0.25: probabilities must be finite and non-negative"),
    ([[math.nan]], "probs[0][0] is nan: probabilities must be finite and non-negative"),
    ([[0.5], [0.5, math.inf]], "probs[1][1] is inf: probabilities must be finite and non-negative"),
    ([[-math.inf, 0.5]], "probs[0][0] is -inf: probabilities must be finite and non-negative"),
    ([[0.5, -1]], "probs[0][1] is -1: probabilities must be finite and non-negative"),
    ([[-1e300]], "probs[0][0] is -1e+300: probabilities must be finite and non-negative"),
    ([[-0.1234567]], "probs[0][0] is -0.123457: probabilities must be finite and non-negative"),
    ([[0.5], [-2, math.nan], []], "probs[1][0] is -2: probabilities must be finite and non-negative"),
    ([[0.5, math.nan], [-2]], "probs[0][1] is nan: probabilities must be finite and non-negative"),
    ([[0.5], [0.5], [0.25, 0.25, -5e-324]], "probs[2][2] is -4.94066e-324: probabilities must be finite and non-negative"),
    (np.array([[0.5, 0.5], [0.5, -3.0]]), "probs[1][1] is -3: probabilities must be finite and non-negative"),
]


@pytest.mark.parametrize(
    "probs, message", INVALID_PROBS, ids=[message.split(":")[0] for _, message in INVALID_PROBS]
)
def test_invalid_probabilities_raise_value_error(probs, message, cache):
    with pytest.raises(ValueError) as raised:
        Enumerator(probs, cache)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "probs",
    [[[0.0, 1.0]], [[-0.0, 0.5]], [[2.0, 0.5]], [[1e308, 5e-324]], [[0.0], [0.0, 0.0]]],
    ids=["zero", "negative zero", "above one", "extremes", "all zero"],
)
def test_zero_and_values_above_one_are_accepted(probs, cache):
    assert_best_first(probs, drain(Enumerator(probs, cache)))


def test_changing_list_probs_after_construction_changes_nothing(cache):
    probs = [list(row) for row in PROBS]
    enumerator = Enumerator(probs, cache)
    copy = iter(enumerator)
    probs[0].reverse()
    probs[1][0] = 0.0
    probs.append([0.5, 0.5])
    assert drain(enumerator) == EXPECTED
    assert drain(copy) == EXPECTED


def test_changing_numpy_probs_after_construction_changes_nothing(cache):
    probs = np.array([[0.25, 0.75, 0.0], [0.5, 0.125, 0.375]])
    expected = configurations(probs.tolist(), cache)
    enumerator = Enumerator(probs, cache)
    next(enumerator)
    probs[:] = probs[:, ::-1].copy()
    probs[0, 0] = 5.0
    assert drain(enumerator) == expected[1:]


@pytest.mark.parametrize(
    "second_args", [([[0.1, 0.9]],), ([[0.1, 0.9]], False), ([[0.5, 0.5]] * 3, True)]
)
def test_second_init_returns_none_and_changes_nothing(second_args, cache):
    enumerator = Enumerator(PROBS, cache)
    assert enumerator.__init__(*second_args) is None
    assert next(enumerator).tolist() == EXPECTED[0]
    assert enumerator.__init__(*second_args) is None
    assert drain(enumerator) == EXPECTED[1:]
    assert enumerator.__init__(*second_args) is None
    assert next(enumerator, None) is None
