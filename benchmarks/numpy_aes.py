"""AES-128 key testing in vectorised NumPy, to compare with the native tester quorin.AES128.

`numpy_aes128_test(pt, ct)` returns a test for quorin.search: given a batch of candidate
keys (columns of shape (m, 16), column j of row i standing for key byte i = j) it expands
every key and encrypts `pt` under all of them at once, array operation by array operation,
and returns the mask of the keys whose ciphertext is `ct`. This is what a user would write
without native testers.

    python3 benchmarks/numpy_aes.py [--log2-batch 16] [--repeat 3]

checks the NumPy test against quorin.AES128 on a batch with a planted key, then prints one
JSON line per test: keys per second on one core for batches of 2^LOG2_BATCH random keys.
"""

import argparse
import json
import time

import numpy as np


def _times(a, b):
    product = 0
    while b:
        if b & 1:
            product ^= a
        a = ((a << 1) ^ 0x11B) if a & 0x80 else a << 1
        b >>= 1
    return product


def _sbox():
    table = []
    for x in range(256):
        inverse = next((y for y in range(1, 256) if _times(x, y) == 1), 0)
        s = 0x63
        for shift in range(5):
            s ^= ((inverse << shift) | (inverse >> (8 - shift))) & 0xFF
        table.append(s)
    return np.array(table, dtype=np.uint8)


SBOX = _sbox()
TIMES2 = np.array([_times(x, 2) for x in range(256)], dtype=np.uint8)
RCON = [0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36]
# The state is 16 bytes in input order: byte r + 4c is row r of column c.
SHIFT_ROWS = np.array([r + 4 * ((c + r) % 4) for c in range(4) for r in range(4)])
LAST_WORD_ROTATED = np.array([13, 14, 15, 12])


def _next_round_key(round_key, round_):
    """Round key r + 1 of every key from round key r, both (m, 16) uint8."""
    temp = SBOX[round_key[:, LAST_WORD_ROTATED]]
    temp[:, 0] ^= RCON[round_]
    out = np.empty_like(round_key)
    out[:, 0:4] = round_key[:, 0:4] ^ temp
    for w in range(1, 4):
        out[:, 4 * w:4 * w + 4] = round_key[:, 4 * w:4 * w + 4] ^ out[:, 4 * w - 4:4 * w]
    return out


def _mix_columns(state):
    a = state.reshape(-1, 4, 4)  # (m, column, row)
    doubled = TIMES2[a]
    rolled = np.roll(a, -1, axis=2)  # a[r + 1]
    out = doubled ^ TIMES2[rolled] ^ rolled ^ np.roll(a, -2, axis=2) ^ np.roll(a, -3, axis=2)
    return out.reshape(-1, 16)


def numpy_aes128_encrypt(keys, plaintext):
    """The ciphertexts of `plaintext` (16 bytes) under every key of `keys` ((m, 16) uint8)."""
    round_key = np.ascontiguousarray(keys, dtype=np.uint8)
    state = round_key ^ np.frombuffer(bytes(plaintext), dtype=np.uint8)
    for round_ in range(10):
        state = SBOX[state][:, SHIFT_ROWS]
        if round_ < 9:
            state = _mix_columns(state)
        round_key = _next_round_key(round_key, round_)
        state ^= round_key
    return state


def numpy_aes128_test(pt, ct):
    """A test for quorin.search: the mask of the keys (rows of `columns`) that encrypt the
    16 bytes `pt` to the 16 bytes `ct`."""
    plaintext, ciphertext = bytes(pt), np.frombuffer(bytes(ct), dtype=np.uint8)

    def test(columns, costs=None):
        return (numpy_aes128_encrypt(np.asarray(columns, dtype=np.uint8), plaintext) == ciphertext).all(axis=1)

    return test


def _rate(test, columns, repeat):
    best = 0.0
    for _ in range(repeat):
        started = time.perf_counter()
        test(columns, None)
        best = max(best, len(columns) / (time.perf_counter() - started))
    return best


def main():
    parser = argparse.ArgumentParser(description="NumPy AES-128 key testing against quorin.AES128")
    parser.add_argument("--log2-batch", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    import quorin

    rng = np.random.default_rng(1)
    columns = rng.integers(0, 256, size=(2**args.log2_batch, 16), dtype=np.int32)
    plaintext = rng.bytes(16)
    planted = len(columns) // 3
    ciphertext = quorin.AES128.encrypt(bytes(columns[planted].astype(np.uint8)), plaintext)
    numpy_test = numpy_aes128_test(plaintext, ciphertext)
    native_test = quorin.AES128(plaintext, ciphertext)
    assert np.flatnonzero(numpy_test(columns)).tolist() == native_test(columns).tolist() == [planted]

    for name, test in [("numpy", numpy_test), (f"quorin.AES128 ({native_test.implementation})", native_test)]:
        print(json.dumps({"test": name, "batch": len(columns),
                          "keys_per_second": float(f"{_rate(test, columns, args.repeat):.4g}")}))


if __name__ == "__main__":
    main()
