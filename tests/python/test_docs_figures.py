"""The figures of the docs come from the benchmarks' recorded results.

A comment ``<!-- figures: NAME.json -->`` on its own line says that the block after it (a
table, a paragraph, or the one list item that follows it) states figures of
``benchmarks/results/NAME.json``; each such figure must be one of the file's numbers as the
docs round it (half up, as a reader would).

- In a table, every number of its body's cells counts (the first column, which names the
  row, aside; ratios, written with an ``x``, aside); ``M/s``, ``MB`` and ``MiB`` in a cell
  also allow the file's numbers in millions or mebibytes.
- In running text, a measured figure is a number written with a decimal point (``7.7``),
  with thousands separators (``2,617``), or followed, after a space, by a unit (``5 ms``,
  ``45.44 s``, ``19.6 M/s``, ``34.1 M keys per second``, ``224 MiB``, ``78 bytes``). A bare
  whole number (``8 tasks``, ``1024 cuts``, ``38 times``), shapes and exponents (``16 x 256``,
  ``2^28``), ratios (``2.12x``), versions (``3.11.7``) and matrix names (``gamma(0.3)``) are
  not figures. The unit sets the scale: ``M`` millions, ``us`` thousands (of nanoseconds);
  ``MB`` millions, ``MiB`` mebibytes and ``ms`` thousandths (of seconds) where the file does
  not hold them as such. In a range or list (``0.6 to 0.9 us``, ``4.0 / 3.1 s``) the last
  figure's unit is every figure's.
- ``<!-- figures: NAME.json; not: 0.1 2,600 -->`` exempts numbers (as written) that are
  targets or design constants, not measurements, wherever they appear in the block.

A figure typed by hand, or left behind by a new run of the benchmark, fails here; so does a
marker naming a file that ``benchmarks/results/`` does not hold. Outside marked blocks, a
time, a rate or a size per configuration (``172 s``, ``80 ns/config``, ``1 GB/s``, ``95 bytes
per configuration``) fails too: mark it, or say what to run to measure it.
"""

import decimal
import json
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
RESULTS = ROOT / "benchmarks" / "results"
PAGES = sorted(p for p in DOCS.rglob("*.md") if p.name != "changelog.md") + [ROOT / "README.md"]

MARKER = re.compile(r"<!--\s*figures:\s*([\w.-]+\.json)\s*(?:;\s*not:\s*(.*?))?\s*-->")
ITEM = re.compile(r"\s*(?:[-*+]|\d+\.)\s")
# Digits grouped by commas or spaces ("99,676", "65 536"), decimals, and an "x" after a ratio.
NUMBER = re.compile(r"(?<![\w^.])(\d{1,3}(?:[, ]\d{3})+(?!\d)|\d+(?:\.\d+)?)(?![\d^])(\s*x\b)?")
SCALES = {"M/s": 1e-6, "MB": 1e-6, "MiB": 1.0 / 2**20}

# Running text: no number inside a word, after "^", "+", "-" or "name(", nor a ratio.
TEXT_NUMBER = re.compile(r"(?<![\w^.+\-])(?<!\w\()(\d{1,3}(?:,\d{3})+|\d+(?:\.\d+)?)"
                         r"(?![\w^]|\.\d)(\s*x\b)?")
UNIT = re.compile(r"\s*(MiB|GiB|KiB|MB|GB|KB|M|ms|us|µs|ns|s|seconds|bytes)(?:/s)?(?!\w)")
# Results record rates per second, times in ns or s (or ms), sizes in bytes (or MiB, MB/s).
TEXT_SCALES = {"M": [1e-6], "us": [1e-3], "µs": [1e-3],
               "MB": [1.0, 1e-6], "MiB": [1.0, 1.0 / 2**20], "ms": [1.0, 1e3]}
# The unit of a range or list ("0.6 to 0.9 us", "4.0 / 3.1 / 2.4 s") is its last figure's.
RANGE = re.compile(r"(?:\s*(?:to|/)\s*\d[\d.,]*(?<![.,]))+")
VERSION = re.compile(r"\d+(?:\.\d+){2,}")
# What reads as a measurement in unmarked text: a time, a rate, a size per configuration.
MEASURED = re.compile(r"\s*(?:ns|us|µs|ms|s|seconds|minutes|hours|[MGK]?B/s|M/s|M keys|"
                      r"M configurations|bytes per configuration|bytes/config)(?![\w])")
# Bounds and targets that unmarked text may state with a unit.
NOT_MEASURED = ("within about 10 ms", "at most 0.1 s")


def _rounded(value, decimals):
    step = decimal.Decimal(1).scaleb(-decimals)
    return decimal.Decimal(repr(value)).quantize(step, rounding=decimal.ROUND_HALF_UP)


def _numbers(value):
    if isinstance(value, bool):
        return
    if isinstance(value, (int, float)):
        yield float(value)
    elif isinstance(value, dict):
        for v in value.values():
            yield from _numbers(v)
    elif isinstance(value, list):
        for v in value:
            yield from _numbers(v)


def _holds(recorded, text, scales):
    """Whether a recorded number, at one of the scales, rounds to the figure as written."""
    text = text.replace(",", "").replace(" ", "")
    decimals = len(text.split(".")[1]) if "." in text else 0
    shown = decimal.Decimal(text)
    return any(_rounded(v * s, decimals) == shown for v in recorded for s in scales)


class Block:
    """A table, a paragraph or a list item: its page, first line, lines and marker."""

    def __init__(self, page, line, marker):
        self.page, self.line, self.marker, self.lines = page, line, marker, []

    def __repr__(self):
        return f"{self.page}:{self.line}"

    @property
    def table(self):
        return self.lines[0].startswith("|")

    def text(self):
        """The block's text on one line, code spans and link targets blanked, and the line
        on which each character stands."""
        text, lines = "", []
        for k, line in enumerate(self.lines):
            line = re.sub(r"`[^`]*`|\]\([^)]*\)", lambda m: " " * len(m.group(0)), line) + " "
            text += line
            lines += [self.line + k] * len(line)
        return VERSION.sub(lambda m: " " * len(m.group(0)), text), lines


def _blocks(page):
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks, block, pending, fence = [], None, None, False
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if stripped.startswith(("```", "~~~")):
            fence, block = not fence, None
        elif fence:
            continue
        elif MARKER.fullmatch(stripped):
            pending, block = (number, MARKER.fullmatch(stripped)), None
        elif not stripped:
            block = None
        elif block is None and line.startswith("    "):
            block = Block(page.relative_to(ROOT), number, None)  # indented code: not kept
        elif block is None or (ITEM.match(line) and not block.table):
            block = Block(page.relative_to(ROOT), number, pending)
            blocks.append(block)
            pending = None
            block.lines.append(line)
        else:
            block.lines.append(line)
    return blocks


BLOCKS = [block for page in PAGES for block in _blocks(page)]
MARKED = [block for block in BLOCKS if block.marker]
TABLES = [(b.page, b.marker[1].group(1), b) for b in MARKED if b.table]


def _recorded(block):
    results = block.marker[1].group(1)
    path = RESULTS / results
    assert path.exists(), (f"{block.page}:{block.marker[0]}: the marker names {results}, "
                           f"which benchmarks/results/ does not hold")
    return results, list(_numbers(json.loads(path.read_text(encoding="utf-8"))))


def test_the_performance_page_marks_its_tables():
    pages = {str(page) for page, _, _ in TABLES}
    assert "docs/explanation/performance.md" in pages


def test_every_marker_names_a_results_file():
    for block in MARKED:
        _recorded(block)


@pytest.mark.parametrize("page,results,block", TABLES, ids=[f"{b}:{r}" for _, r, b in TABLES])
def test_every_figure_of_a_marked_table_is_in_its_results(page, results, block):
    results, recorded = _recorded(block)
    rows = [[cell.strip() for cell in line.strip().strip("|").split("|")] for line in block.lines]
    assert rows[2:], f"{page}:{block.marker[0]}: no table rows after the marker of {results}"
    for k, row in enumerate(rows[2:]):  # header and rule aside
        for cell in row[1:]:
            for match in NUMBER.finditer(cell):
                if match.group(2):  # a ratio
                    continue
                scales = [1.0] + [scale for unit, scale in SCALES.items() if unit in cell]
                assert _holds(recorded, match.group(1), scales), \
                    f"{page}:{block.line + 2 + k}: {match.group(1)} ({cell!r}) is not in {results}"


def _text_figures(block):
    """(figure, its unit or None, the figure with its unit as written, line) for every
    measured figure of a block's text."""
    text, lines = block.text()
    for match in TEXT_NUMBER.finditer(text):
        if match.group(2):  # a ratio
            continue
        end = match.end(1)
        rest = RANGE.match(text, end)
        unit = UNIT.match(text, rest.end() if rest else end)
        if unit or "." in match.group(1) or "," in match.group(1):
            written = match.group(1) + (f" ...{unit.group(0)}" if rest and unit else
                                        unit.group(0) if unit else "")
            yield match.group(1), unit and unit.group(1), written, lines[match.start()]


TEXTS = [b for b in MARKED if not b.table]


@pytest.mark.parametrize("block", TEXTS, ids=[f"{b}:{b.marker[1].group(1)}" for b in TEXTS])
def test_every_figure_of_a_marked_paragraph_is_in_its_results(block):
    results, recorded = _recorded(block)
    exempt = (block.marker[1].group(2) or "").split()
    figures = list(_text_figures(block))
    assert figures, f"{block.page}:{block.marker[0]}: no figure after the marker of {results}"
    for entry in exempt:
        assert any(f == entry for f, _, _, _ in figures), \
            f"{block.page}:{block.marker[0]}: 'not: {entry}' exempts no figure of the block"
    for figure, unit, written, line in figures:
        if figure in exempt:
            continue
        scales = TEXT_SCALES.get(unit, [1.0])
        assert _holds(recorded, figure, scales), \
            f"{block.page}:{line}: {written!r} is not in {results}"


def test_unmarked_text_states_no_measured_figure():
    """A time, a rate or a size per configuration outside a marked block, or a table of
    times left unmarked, is a figure nobody checks."""
    found = []
    for block in BLOCKS:
        if block.marker:
            continue
        text, lines = block.text()
        if block.table:
            header = block.lines[0]
            if re.search(r"\b(ns|ms|s|seconds|M/s|MB/s|throughput)\b", header) and any(
                    re.search(r"\d", cell) for line in block.lines[2:]
                    for cell in line.strip().strip("|").split("|")[1:]):
                found.append(f"{block}: an unmarked table of measurements")
            continue
        for phrase in NOT_MEASURED:
            text = text.replace(phrase, " " * len(phrase))
        for match in TEXT_NUMBER.finditer(text):
            if not match.group(2) and MEASURED.match(text, match.end(1)):
                found.append(f"{block.page}:{lines[match.start()]}: "
                             f"{text[match.start():match.end(1) + 12].strip()!r}")
    assert not found, "measured figures outside a figures marker:\n" + "\n".join(found)
