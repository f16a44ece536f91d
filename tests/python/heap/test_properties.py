"""Property tests: random matrices against brute force, and random mixes of next(), iter()
and exhaustion against a simple model of independent positions."""

from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import Enumerator, assert_best_first, configurations

# Few distinct values so that ties (equal probabilities, equal products) are common;
# zero and values above one are legal inputs.
VALUES = st.sampled_from([0.0, 0.1, 0.2, 0.25, 0.3, 0.5, 0.7, 1.0, 1.5, 2.0, 4.0])
ROW = st.lists(VALUES, min_size=1, max_size=4)
MATRIX = st.lists(ROW, min_size=1, max_size=5)

@settings(max_examples=150, deadline=None)
@given(probs=MATRIX)
def test_random_matrices_against_brute_force(probs):
    with_cache = configurations(probs, True)
    assert_best_first(probs, with_cache)
    assert configurations(probs, False) == with_cache


@settings(max_examples=100, deadline=None)
@given(probs=st.lists(ROW, min_size=1, max_size=4), cache=st.booleans())
def test_prefixes_and_copies_agree(probs, cache):
    reference = configurations(probs, cache)
    enumerator = Enumerator(probs, cache)
    for position, expected in enumerate(reference):
        assert [a.tolist() for a in iter(enumerator)] == reference[position:]
        assert next(enumerator).tolist() == expected
    assert next(enumerator, None) is None


# One operation on the enumerators alive so far, each named by its position in the list.
OPERATION = st.one_of(
    st.tuples(st.just("next"), st.integers(0, 63)),
    st.tuples(st.just("iter"), st.integers(0, 63)),
    st.tuples(st.just("list"), st.integers(0, 63)),
    st.tuples(st.just("drop"), st.integers(0, 63)),
    st.tuples(st.just("drain"), st.integers(0, 63)),
)


@settings(max_examples=120, deadline=None)
@given(
    probs=st.lists(st.lists(VALUES, min_size=1, max_size=3), min_size=0, max_size=3),
    cache=st.booleans(),
    operations=st.lists(OPERATION, max_size=60),
)
def test_random_interleavings_follow_the_model(probs, cache, operations):
    reference = configurations(probs, cache)
    # Model: every live enumerator is just an index into the reference sequence.
    live = [(Enumerator(probs, cache), 0)]
    for action, pick in operations:
        if not live:
            live.append((Enumerator(probs, cache), 0))
        slot = pick % len(live)
        enumerator, position = live[slot]
        if action == "next":
            result = next(enumerator, None)
            if position < len(reference):
                assert result is not None and result.tolist() == reference[position]
                live[slot] = (enumerator, position + 1)
            else:
                assert result is None
        elif action == "iter":
            live.append((iter(enumerator), position))
        elif action == "list":
            assert [a.tolist() for a in enumerator] == reference[position:]
        elif action == "drop":
            del live[slot]
        else:  # drain in place
            rest = []
            while True:
                try:
                    rest.append(next(enumerator).tolist())
                except StopIteration:
                    break
            assert rest == reference[position:]
            live[slot] = (enumerator, len(reference))
    for enumerator, position in live:
        assert [a.tolist() for a in enumerator] == reference[position:]
