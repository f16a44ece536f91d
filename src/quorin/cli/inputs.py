"""What the command reads: matrix files, positions, hex blocks and keys, a Python test, and
the matrix as the library takes it (probabilities, or log-likelihoods).

Every problem with an input raises ``BadInput`` with one line naming the input and what is
wrong; the command prints it and exits with status 2.
"""

import decimal
import hashlib
import importlib
import math
import os
import re
import sys

import numpy

import quorin


class BadInput(Exception):
    """An input the command cannot use; its message is one line naming it."""


# ---------------------------------------------------------------------------------------
# matrix files


def load_matrix(path, array=None):
    """The matrix held by ``path`` (.npy, .npz or CSV/text) as a list of float64 rows (a
    two-dimensional array when every row has the same length). ``array`` names the array
    of an .npz file (needed only when it holds several)."""
    shown = f"MATRIX {path}"
    if not os.path.exists(path):
        raise BadInput(f"{shown}: no such file")
    if os.path.isdir(path):
        raise BadInput(f"{shown}: a directory, not a matrix file")
    lower = path.lower()
    if array is not None and not lower.endswith(".npz"):
        raise BadInput(f"--array {array}: only an .npz file holds named arrays, not {path}")
    try:
        if lower.endswith(".npy"):
            matrix = numpy.load(path, allow_pickle=False)
        elif lower.endswith(".npz"):
            matrix = _npz_array(path, array)
        else:
            matrix = _text_matrix(path)
    except BadInput:
        raise
    except (ValueError, OSError, EOFError) as error:  # cut or foreign files, object arrays
        raise BadInput(f"{shown}: not a readable matrix file ({one_line(error)})") from None
    return _checked_matrix(matrix, shown)


def _npz_array(path, array):
    with numpy.load(path, allow_pickle=False) as archive:
        names = list(archive.files)
        if array is None:
            if len(names) != 1:
                listed = ", ".join(names) if names else "none"
                raise BadInput(f"MATRIX {path}: an .npz file of {len(names)} arrays "
                               f"({listed}): name one with --array")
            array = names[0]
        if array not in names:
            raise BadInput(f"--array {array}: {path} has no such array (it holds "
                           f"{', '.join(names) or 'none'})")
        return archive[array]


def _text_matrix(path):
    """A CSV or whitespace-separated text file: one row of the matrix per line; blank lines
    and lines starting with '#' are skipped; rows may differ in length."""
    rows = []
    with open(path, encoding="utf-8", errors="strict") as f:
        try:
            lines = f.read().splitlines()
        except UnicodeDecodeError:
            raise BadInput(f"MATRIX {path}: not a text file (give .npy, .npz or CSV)") from None
    for number, line in enumerate(lines, start=1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        fields = [f for f in re.split(r"[,;\s]+", text) if f]
        try:
            rows.append(numpy.array([float(f) for f in fields], dtype=numpy.float64))
        except ValueError:
            bad = next(f for f in fields if not _is_float(f))
            raise BadInput(f"MATRIX {path} line {number}: {bad[:40]!r} is not a number") from None
    if rows and len({len(row) for row in rows}) == 1:
        return numpy.stack(rows)
    return rows


def _is_float(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


def _checked_matrix(matrix, shown):
    if isinstance(matrix, list):
        if not matrix:
            raise BadInput(f"{shown}: no rows")
        rows = matrix
    else:
        if matrix.dtype.kind not in "iuf":
            raise BadInput(f"{shown}: an array of {matrix.dtype}, not of real numbers")
        if matrix.ndim != 2:
            raise BadInput(f"{shown}: a {matrix.ndim}-dimensional array of shape "
                           f"{matrix.shape}, not a matrix (one row per variable)")
        if matrix.shape[0] == 0 or matrix.shape[1] == 0:
            raise BadInput(f"{shown}: an empty matrix of shape {matrix.shape}")
        return numpy.ascontiguousarray(matrix, dtype=numpy.float64)
    for i, row in enumerate(rows):
        if len(row) == 0:
            raise BadInput(f"{shown}: row {i} is empty")
    return rows


def row_lengths(matrix):
    return [len(row) for row in matrix]


def describe_shape(matrix):
    lengths = row_lengths(matrix)
    if len(set(lengths)) == 1:
        return f"{len(lengths)} x {lengths[0]}"
    return f"{len(lengths)} rows of {min(lengths)} to {max(lengths)} values"


def matrix_digest(matrix, log):
    """A digest of the matrix as read from its file (and of whether it holds logs)."""
    sha = hashlib.sha256(b"quorin command matrix\0" + (b"log\0" if log else b"probabilities\0"))
    for row in matrix:
        row = numpy.asarray(row, dtype="<f8")
        sha.update(len(row).to_bytes(8, "little"))
        sha.update(row.tobytes())
    return sha.hexdigest()


# ---------------------------------------------------------------------------------------
# probabilities or log-likelihoods: what the library is handed


_takes_log = None


def library_takes_log():
    """Whether every function of quorin the command calls (search, plan, rank, count,
    batches) takes ``log=True`` (a matrix of natural-log likelihoods). Checked once: the
    keyword in the signatures of the Python functions, a call of each native one on a
    one-cell matrix."""
    global _takes_log
    if _takes_log is None:
        import inspect

        def in_signature(function):
            try:
                return "log" in inspect.signature(function).parameters
            except (TypeError, ValueError):
                return False

        def accepted(call):
            try:
                call()
                return True
            except TypeError:  # an unexpected keyword argument
                return False

        _takes_log = (in_signature(quorin.search) and in_signature(quorin.plan)
                      and accepted(lambda: quorin.count([[0.0]], 0.0, log=True))
                      and accepted(lambda: quorin.rank([[0.0]], [0], log=True))
                      and accepted(lambda: quorin.batches([[0.0]], size=1, log=True)))
    return _takes_log


def library_matrix(matrix, log, shown="MATRIX"):
    """The matrix and the keywords to hand the library's functions for a file of
    probabilities (``log`` false) or of natural-log likelihoods (``log`` true).

    When quorin takes ``log=True`` itself, the log-likelihoods go as they are, with that
    keyword. Otherwise they are converted here: each row's maximum is subtracted before
    ``exp`` (so the row's best value becomes 1 and nothing overflows), and the row is then
    divided by its sum, so that a configuration's cost is -ln of the row-normalised
    likelihoods (each row's softmax), as the library defines costs for ``log=True``. The
    order, ranks and hits are those of the log-likelihoods, except where ``exp`` underflows
    to 0 (values more than about 745 below their row's maximum), which the library then
    treats as impossible.
    """
    if not log:
        return matrix, {}
    if library_takes_log():
        return matrix, {"log": True}
    rows = []
    for i, row in enumerate(matrix):
        row = numpy.asarray(row, dtype=numpy.float64)
        if numpy.isnan(row).any() or (row == numpy.inf).any():
            raise BadInput(f"{shown}: row {i} holds NaN or +inf, not a log-likelihood")
        top = row.max()
        if top == -numpy.inf:
            raise BadInput(f"{shown}: row {i} is all -inf: no value of it is possible")
        p = numpy.exp(row - top)
        rows.append(p / p.sum())
    if isinstance(matrix, numpy.ndarray):
        return numpy.stack(rows), {}
    return rows, {}


def check_matrix(probs, kwargs, shown="MATRIX"):
    """The library's own checks of the matrix (quorin.count on it), as a BadInput."""
    try:
        quorin.count(probs, 0.0, exact_up_to=0, **kwargs)
    except (ValueError, TypeError) as error:
        # The library speaks of its keyword; the command's is an option.
        raise BadInput(f"{shown}: {one_line(error).replace('(log=True)', '(--log)')}") from None


# ---------------------------------------------------------------------------------------
# positions and counts


_POWER = re.compile(r"^(\d[\d_]*)\s*(?:\*\*|\^)\s*(\d+)$")
_PRODUCT = re.compile(r"^(\d[\d_]*)\s*\*\s*(\d[\d_]*)\s*(?:\*\*|\^)\s*(\d+)$")
_DECIMAL = re.compile(r"^\d[\d_]*(\.\d*)?([eE][+-]?\d+)?$")
# Positions go up to the number of configurations of the largest matrix anyone searches;
# far past 2**128, but a bound keeps "9**99999999" from computing for minutes.
MAX_POSITION_BITS = 4096


def parse_position(text, name):
    """An integer position or count written as 123, 1_000_000, 2**36 (or 2^36), 3*2**30 or
    1e12 / 1.5e9 (when exact). Parsed by pattern, never evaluated."""
    raw = text
    text = text.strip().replace(" ", "")
    value = None
    if re.fullmatch(r"\d[\d_]*", text):
        value = int(text)
    elif m := _POWER.match(text):
        value = _power(int(m[1]), int(m[2]), name, raw)
    elif m := _PRODUCT.match(text):
        value = int(m[1]) * _power(int(m[2]), int(m[3]), name, raw)
    elif _DECIMAL.match(text):
        try:
            exact = decimal.Decimal(text.replace("_", ""))
        except decimal.InvalidOperation:
            exact = None
        if exact is not None:
            if exact.adjusted() > MAX_POSITION_BITS:
                raise BadInput(f"{name} {raw}: too large")
            if exact != exact.to_integral_value():
                raise BadInput(f"{name} {raw}: not a whole number")
            value = int(exact)
    if value is None:
        if text.startswith("-"):
            raise BadInput(f"{name} {raw}: a position is at least 0")
        raise BadInput(f"{name} {raw!r}: not a position (write 1000000, 2**36, 3*2**30 or 1e12)")
    if value.bit_length() > MAX_POSITION_BITS:
        raise BadInput(f"{name} {raw}: too large")
    return value


def _power(base, exponent, name, raw):
    if base > 1 and exponent * math.log2(base) > MAX_POSITION_BITS:
        raise BadInput(f"{name} {raw}: too large")
    return base**exponent


def parse_stop(text, name="--stop"):
    """A stop position, or None for 'end' (the last configuration)."""
    if text is None or text.strip().lower() in ("end", "none", "inf"):
        return None
    return parse_position(text, name)


def show_position(value):
    """An integer as people read it: 1,048,576 (2^20.0) past a million."""
    if value is None:
        return "the end"
    if value < 10**6:
        return f"{value:,}"
    return f"{value:,} (2^{math.log2(value):.1f})"


# ---------------------------------------------------------------------------------------
# hex blocks and keys


def parse_block(text, name):
    """16 bytes from 32 hex digits (spaces, ':' and a 0x prefix allowed)."""
    digits = re.sub(r"[\s:]", "", text)
    if digits[:2].lower() == "0x":
        digits = digits[2:]
    if not re.fullmatch(r"[0-9a-fA-F]*", digits):
        raise BadInput(f"{name} {text!r}: not hex (32 hex digits, one AES block)")
    if len(digits) != 32:
        raise BadInput(f"{name} {text!r}: {len(digits)} hex digits, an AES block has 32")
    return bytes.fromhex(digits)


def parse_key(text, lengths):
    """A key as columns, one per row: hex (two digits per row, when every row has at most
    256 values) or integers separated by commas."""
    text = text.strip()
    if "," in text:
        try:
            columns = [int(c) for c in text.split(",")]
        except ValueError:
            raise BadInput(f"KEY {text!r}: not a list of integers") from None
    else:
        digits = re.sub(r"[\s:]", "", text)
        if digits[:2].lower() == "0x":
            digits = digits[2:]
        if not re.fullmatch(r"[0-9a-fA-F]*", digits) or len(digits) % 2:
            raise BadInput(f"KEY {text!r}: not hex (two hex digits per row) nor a list of "
                           f"integers separated by commas")
        if max(lengths) > 256:
            raise BadInput(f"KEY {text!r}: rows of more than 256 values; give the columns as "
                           f"integers separated by commas")
        columns = list(bytes.fromhex(digits))
    if len(columns) != len(lengths):
        raise BadInput(f"KEY {text!r}: {len(columns)} values for a matrix of {len(lengths)} rows")
    for i, (c, n) in enumerate(zip(columns, lengths)):
        if not 0 <= c < n:
            raise BadInput(f"KEY {text!r}: value {c} for row {i}, which has {n} values")
    return columns


def show_key(columns):
    """A key in hex when every column fits a byte, else its columns with commas."""
    if all(0 <= c < 256 for c in columns):
        return bytes(columns).hex()
    return ",".join(str(c) for c in columns)


# ---------------------------------------------------------------------------------------
# a Python test


def load_test(name):
    """``module:function`` (or ``module:object.attribute``): the test, imported. The
    working folder is searched first, as ``python -m`` does. Returns (test, digest of the
    module's source file or None)."""
    module_name, sep, attribute = name.partition(":")
    if not sep or not module_name or not attribute:
        raise BadInput(f"--test {name!r}: write it as module:function")
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        module = importlib.import_module(module_name)
    except ImportError as error:
        raise BadInput(f"--test {name}: cannot import {module_name} ({one_line(error)})") from None
    test = module
    for part in attribute.split("."):
        test = getattr(test, part, None)
        if test is None:
            raise BadInput(f"--test {name}: {module_name} has no {attribute}")
    if not callable(test):
        raise BadInput(f"--test {name}: {attribute} is not callable")
    source = getattr(module, "__file__", None)
    digest = None
    if source and os.path.isfile(source):
        with open(source, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        test = _by_value(test, module, source)
    return test, digest


def _by_value(test, module, source):
    """A test from a module of the working folder, made to travel by value (cloudpickle,
    when installed) to worker processes and cluster workers, which need not have the
    module: the test itself, or a wrapper that pickles it by value."""
    try:
        import cloudpickle
    except ImportError:
        return test
    here = os.path.realpath(os.getcwd())
    if not os.path.realpath(source).startswith(here + os.sep):
        return test  # an installed module: workers import it
    try:
        cloudpickle.register_pickle_by_value(module)
    except (ValueError, AttributeError):
        return test
    return _SentByValue(test)


class _SentByValue:
    """Calls ``test``; pickles as ``test`` pickled by cloudpickle (by value, as its module is
    registered so), unpickling to ``test`` itself wherever quorin is installed. Engines
    that pickle with the standard pickle first (Dask) would otherwise send a reference to
    a module the workers do not have."""

    def __init__(self, test):
        self.test = test

    def __call__(self, columns, costs):
        return self.test(columns, costs)

    def __reduce__(self):
        import pickle

        import cloudpickle

        return pickle.loads, (cloudpickle.dumps(self.test, protocol=pickle.HIGHEST_PROTOCOL),)


def one_line(error):
    text = str(error).strip() or type(error).__name__
    return " ".join(text.split())
