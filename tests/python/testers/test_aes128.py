"""quorin.AES128 against an AES-128 written here from FIPS-197: known answers, random keys
and batches on every implementation the CPU has, the accepted forms of its arguments, bad
input, pickling, and searches that find a planted key at its exact rank."""

import logging
import os
import pickle

import numpy as np
import pytest

import quorin

# ---------------------------------------------------------------------------------------
# AES-128 as FIPS-197 writes it: a 4 x 4 state of bytes, state[r][c] = input[r + 4c].


def _times(a, b):
    """a * b in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1."""
    product = 0
    while b:
        if b & 1:
            product ^= a
        a = ((a << 1) ^ 0x11B) if a & 0x80 else a << 1
        b >>= 1
    return product


def _sbox_entry(x):
    inverse = next((y for y in range(1, 256) if _times(x, y) == 1), 0)
    s = 0x63
    for shift in range(5):  # b ^ rotl(b, 1) ^ ... ^ rotl(b, 4) ^ 0x63
        s ^= ((inverse << shift) | (inverse >> (8 - shift))) & 0xFF
    return s


SBOX = [_sbox_entry(x) for x in range(256)]
RCON = [0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36]


def expand_key(key):
    """The words w[0..43] of the key schedule, each a list of 4 bytes."""
    w = [list(key[4 * i:4 * i + 4]) for i in range(4)]
    for i in range(4, 44):
        temp = list(w[i - 1])
        if i % 4 == 0:
            temp = [SBOX[b] for b in temp[1:] + temp[:1]]
            temp[0] ^= RCON[i // 4 - 1]
        w.append([a ^ b for a, b in zip(w[i - 4], temp)])
    return w


def encrypt(key, plaintext):
    w = expand_key(key)
    state = [[plaintext[r + 4 * c] for c in range(4)] for r in range(4)]

    def add_round_key(round_):
        for c in range(4):
            for r in range(4):
                state[r][c] ^= w[4 * round_ + c][r]

    add_round_key(0)
    for round_ in range(1, 11):
        for r in range(4):
            state[r] = [SBOX[b] for b in state[r]]  # SubBytes
            state[r] = state[r][r:] + state[r][:r]  # ShiftRows
        if round_ < 10:  # MixColumns
            for c in range(4):
                a = [state[r][c] for r in range(4)]
                for r in range(4):
                    state[r][c] = (_times(a[r], 2) ^ _times(a[(r + 1) % 4], 3) ^ a[(r + 2) % 4]
                                   ^ a[(r + 3) % 4])
        add_round_key(round_)
    return bytes(state[r][c] for c in range(4) for r in range(4))


# ---------------------------------------------------------------------------------------

KNOWN_ANSWERS = [  # key, plaintext, ciphertext
    # FIPS-197 Appendix C.1 and Appendix B
    ("000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"),
    ("2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"),
    # AESAVS GFSbox, KeySbox, VarKey, VarTxt
    ("00" * 16, "f34481ec3cc627bacd5dc3fb08f273e6", "0336763e966d92595a567cc9ce537f5e"),
    ("00" * 16, "96ab5c2ff612d9dfaae8c31f30c42168", "ff4f8391a6a40ca5b25d23bedd44a597"),
    ("10a58869d74be5a374cf867cfb473859", "00" * 16, "6d251e6944b051e04eaa6fb4dbf78465"),
    ("c0" + "00" * 15, "00" * 16, "4bc3f883450c113c64ca42e1112a9e87"),
    ("00" * 16, "80" + "00" * 15, "3ad78e726c1ec02b7ebfe92b23d9ec34"),
]
ALL_IMPLEMENTATIONS = ["portable", "aesni", "vaes256", "vaes512"]
IMPLEMENTATIONS = [
    pytest.param(name, marks=pytest.mark.skipif(not quorin.AES128.available(name),
                                                reason=f"this CPU cannot run {name}"))
    for name in ALL_IMPLEMENTATIONS]


def test_the_oracle_gives_the_known_answers():
    w = expand_key(bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c"))
    assert bytes(w[4] + w[5] + w[6] + w[7]).hex() == "a0fafe1788542cb123a339392a6c7605"
    assert bytes(w[40] + w[41] + w[42] + w[43]).hex() == "d014f9a8c9ee2589e13f0cc8b6630ca6"
    for key, plaintext, ciphertext in KNOWN_ANSWERS:
        assert encrypt(bytes.fromhex(key), bytes.fromhex(plaintext)).hex() == ciphertext


@pytest.mark.parametrize("implementation", IMPLEMENTATIONS)
def test_encryption_matches_the_oracle(implementation):
    for key, plaintext, ciphertext in KNOWN_ANSWERS:
        assert quorin.AES128.encrypt(key, plaintext, implementation).hex() == ciphertext
    rng = np.random.default_rng(1)
    for _ in range(100):
        key, plaintext = rng.bytes(16), rng.bytes(16)
        assert quorin.AES128.encrypt(key, plaintext, implementation) == encrypt(key, plaintext)


@pytest.mark.parametrize("implementation", IMPLEMENTATIONS)
def test_hits_on_random_batches_match_the_oracle(implementation):
    rng = np.random.default_rng(2)
    for m in (1, 17, 300, 70_000):  # 70_000 spans chunks of the call and of the tester
        columns = rng.integers(0, 256, size=(m, 16), dtype=np.int32)
        position = int(rng.integers(m))
        key = bytes(columns[position].tolist())
        planted = sorted({position, *rng.integers(0, m, size=3).tolist()})
        columns[planted] = columns[position]
        plaintext = rng.bytes(16)
        tester = quorin.AES128(plaintext, encrypt(key, plaintext), implementation)
        assert tester.implementation == implementation
        for dtype in (np.int32, np.int64, np.uint8, np.uint16):
            hits = tester(columns.astype(dtype), rng.random(m))
            assert hits.dtype == np.int64 and hits.tolist() == planted
        assert tester(columns, None).tolist() == planted
        assert tester(columns[::-1]).tolist() == sorted(m - 1 - p for p in planted)
    assert tester(np.zeros((0, 16), dtype=np.int32), np.zeros(0)).tolist() == []


def test_every_pair_must_match():
    rng = np.random.default_rng(3)
    key = rng.bytes(16)
    p1, p2 = rng.bytes(16), rng.bytes(16)
    c1, c2 = encrypt(key, p1), encrypt(key, p2)
    wrong = bytes([c2[0] ^ 1]) + c2[1:]
    columns = rng.integers(0, 256, size=(500, 16))
    columns[[7, 400]] = np.frombuffer(key, dtype=np.uint8)
    assert quorin.AES128([p1, p2], [c1, c2])(columns).tolist() == [7, 400]
    assert quorin.AES128([p1, p2], [c1, wrong])(columns).tolist() == []
    assert quorin.AES128([p2, p1], [wrong, c1])(columns).tolist() == []
    assert quorin.AES128(np.array([list(p1), list(p2)], dtype=np.uint8), [c1.hex(), c2])(columns).tolist() == [7, 400]


def test_argument_forms():
    plaintext = bytes.fromhex("00112233445566778899aabbccddeeff")
    ciphertext = bytes.fromhex("69c4e0d86a7b0430d8cdb78070b4c55a")
    array = np.frombuffer(plaintext, dtype=np.uint8)
    spaced = " ".join(ciphertext.hex()[i:i + 8] for i in range(0, 32, 8)).upper()
    for p, c in [(plaintext, ciphertext), (bytearray(plaintext), ciphertext.hex()),
                 (array, spaced), (array.astype(np.int64), "\t" + ciphertext.hex() + "\n"),
                 ([plaintext], (ciphertext,)), (array.reshape(1, 16), [np.frombuffer(ciphertext, np.uint8)])]:
        tester = quorin.AES128(p, c)
        assert tester.plaintexts == (plaintext,) and tester.ciphertexts == (ciphertext,)
        assert tester(np.arange(16).reshape(1, 16)).tolist() == [0]
    several = quorin.AES128(np.stack([array, array[::-1]]), [ciphertext, bytes(16)])
    assert several.plaintexts == (plaintext, plaintext[::-1])
    assert several.ciphertexts == (ciphertext, bytes(16))
    assert quorin.AES128.encrypt(np.arange(16, dtype=np.uint8), plaintext.hex()) == ciphertext


GOOD = bytes(16)


@pytest.mark.parametrize("plaintext, ciphertext, error, message", [
    (bytes(15), GOOD, ValueError, "plaintext must be 16 bytes.*has 15 bytes"),
    (GOOD, bytearray(17), ValueError, "ciphertext must be 16 bytes.*has 17 bytes"),
    ("00" * 15, GOOD, ValueError, "plaintext must be 32 hex digits.*has 30"),
    (GOOD, "0g" * 16, ValueError, "ciphertext is not hexadecimal.*'g'"),
    (np.zeros(15, np.uint8), GOOD, ValueError, r"plaintext must be 16 bytes.*shape \(15,\)"),
    (np.zeros((2, 2, 16), np.uint8), GOOD, ValueError, r"plaintext must be 16 bytes.*shape \(2, 2, 16\)"),
    (np.full(16, 256), GOOD, ValueError, "plaintext must be 16 bytes.*value 256"),
    (np.full(16, -1), GOOD, ValueError, "plaintext must be 16 bytes.*value -1"),
    (np.zeros(16), GOOD, ValueError, "plaintext must be 16 bytes.*dtype float64"),
    ([GOOD, bytes(3)], [GOOD, GOOD], ValueError, r"plaintext\[1\] must be 16 bytes.*has 3 bytes"),
    ([GOOD, GOOD], [GOOD], ValueError, "plaintext has 2 blocks but ciphertext has 1"),
    (np.zeros((3, 16), np.uint8), np.zeros((2, 16), np.uint8), ValueError, "3 blocks but ciphertext has 2"),
    ([], [], ValueError, "no block: give at least one pair"),
    (np.zeros((0, 16), np.uint8), [], ValueError, "no block"),
    (5, GOOD, TypeError, "plaintext must be bytes.*not int"),
    ([GOOD, 5], [GOOD, GOOD], TypeError, r"plaintext\[1\] must be bytes.*not int"),
])
def test_bad_blocks(plaintext, ciphertext, error, message):
    with pytest.raises(error, match=message):
        quorin.AES128(plaintext, ciphertext)


def test_bad_batches_and_other_refusals():
    tester = quorin.AES128(GOOD, GOOD)
    columns = np.zeros((4, 16), dtype=np.int32)
    with pytest.raises(ValueError, match=r"shape \(m, 16\).*not \(4, 15\)"):
        tester(columns[:, :15], None)
    with pytest.raises(ValueError, match=r"shape \(m, 16\).*not \(64,\)"):
        tester(columns.ravel(), None)
    for value, index in [(256, (2, 5)), (-1, (0, 15)), (2**40, (3, 0))]:
        wide = columns.astype(np.int64)
        wide[index] = value
        with pytest.raises(ValueError, match=rf"columns\[{index[0]}, {index[1]}\] is {value}: columns go from 0 to 255"):
            tester(wide)
    huge = columns.astype(np.uint64)
    huge[1, 1] = 2**63 + 5
    with pytest.raises(ValueError, match=r"columns\[1, 1\]"):
        tester(huge)
    with pytest.raises(TypeError, match="dtype float64"):
        tester(columns.astype(np.float64))
    with pytest.raises(ValueError, match=r"costs must have shape \(4,\).*not \(3,\)"):
        tester(columns, np.zeros(3))
    with pytest.raises(ValueError, match="unknown AES-128 implementation 'fast'"):
        quorin.AES128(GOOD, GOOD, "fast")
    for name in ALL_IMPLEMENTATIONS:
        if not quorin.AES128.available(name):
            with pytest.raises(ValueError, match="not available"):
                quorin.AES128(GOOD, GOOD, name)
    tester.check_shape([256] * 16)
    tester.check_shape([2, 3] * 8)
    with pytest.raises(ValueError, match="16 rows"):
        tester.check_shape([256] * 15)
    with pytest.raises(ValueError, match="row 3 has 257"):
        tester.check_shape([256] * 3 + [257] + [256] * 12)
    with pytest.raises(TypeError):
        quorin._core.Tester()
    unmade = quorin.AES128.__new__(quorin.AES128)
    for use in (lambda t: t(columns), repr, lambda t: t.plaintexts, lambda t: t.check_shape([2] * 16)):
        with pytest.raises(TypeError, match=r"quorin.AES128.__init__\(\) has not been called"):
            use(unmade)


def test_pickles_repr_and_attributes():
    rng = np.random.default_rng(4)
    pairs = [rng.bytes(16) for _ in range(4)]
    one = quorin.AES128(pairs[0], pairs[1])
    two = quorin.AES128(pairs[:2], pairs[2:], "portable")
    assert repr(one) == f"AES128(plaintext='{pairs[0].hex()}', ciphertext='{pairs[1].hex()}')"
    assert repr(two) == (f"AES128(plaintext=['{pairs[0].hex()}', '{pairs[1].hex()}'], "
                         f"ciphertext=['{pairs[2].hex()}', '{pairs[3].hex()}'], implementation='portable')")
    assert isinstance(one, quorin._core.Tester) and type(one).__module__ == "quorin"
    assert one.implementation in ALL_IMPLEMENTATIONS
    for tester in (one, two):
        assert repr(eval(repr(tester), {"AES128": quorin.AES128})) == repr(tester)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            copy = pickle.loads(pickle.dumps(tester, protocol))
            assert type(copy) is quorin.AES128 and repr(copy) == repr(tester)
            assert (copy.plaintexts, copy.ciphertexts) == (tester.plaintexts, tester.ciphertexts)
            assert copy.implementation == tester.implementation


# ---------------------------------------------------------------------------------------
# quorin.search with the tester as its test


def planted_search_case(seed):
    """A 16-row matrix of 2 to 4 columns per row (most rows favour one column), the true
    key (its columns as key bytes) at a chosen position of the cost order, and a pair it
    encrypts."""
    rng = np.random.default_rng(seed)
    widths = [2] * 10 + [3] * 4 + [4] * 2  # 2**10 * 3**4 * 4**2 = 1327104 configurations
    probs = []
    for width in widths:
        row = rng.random(width) * 0.2
        row[rng.integers(width)] += 1.0
        probs.append((row / row.sum()).tolist())
    position = 5000
    batch = next(iter(quorin.batches(probs, size=1, start=position, stop=position + 1)))
    key = bytes(batch.columns[0].tolist())
    plaintext = rng.bytes(16)
    return probs, key, position, plaintext, encrypt(key, plaintext)


needs_processes = pytest.mark.skipif(
    bool(os.environ.get("QUORIN_ASAN")),
    reason="worker processes would need the sanitizer runtime preloaded too")


@pytest.fixture
def workers(request):
    if request.param != "dask":
        yield request.param
        return
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("workers", [1, pytest.param(2, marks=needs_processes), pytest.param("dask", marks=needs_processes)],
                         indirect=True, ids=["this-process", "processes", "dask"])
def test_search_finds_the_planted_key_at_its_rank(workers):
    # The tester runs inside the walk of each task, wherever the task runs.
    probs, key, position, plaintext, ciphertext = planted_search_case(5)
    tester = quorin.AES128(plaintext, ciphertext)
    tester.check_shape([len(row) for row in probs])
    assert quorin.rank(probs, list(key)) == (position + 1, position + 1)
    hits = quorin.search(probs, tester, stop=20000, workers=workers, task_size=4096)
    assert [(hit.rank, bytes(hit.columns)) for hit in hits] == [(position + 1, key)]
    first = quorin.search(probs, tester, stop=None, workers=workers, task_size=4096, first=True)
    assert first == hits
    assert quorin.search(probs, tester, stop=position, workers=workers, task_size=4096) == []
