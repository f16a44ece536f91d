"""The figures of the docs' tables come from the benchmarks' recorded results.

A table preceded by a comment ``<!-- figures: NAME.json -->`` states figures of
``benchmarks/results/NAME.json``: every number in its cells (the first column, which
names the row, aside; ratios, written with an ``x``, aside) must be one of the file's
numbers as the table rounds it (half up, as a reader would), or its millions (``M/s``) or
mebibytes (``MiB``). A figure typed by hand, or left behind by a new run of the benchmark,
fails here.
"""

import decimal
import json
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
RESULTS = ROOT / "benchmarks" / "results"
MARKER = re.compile(r"<!--\s*figures:\s*([\w.-]+\.json)\s*-->")
# Digits grouped by commas or spaces ("99,676", "65 536"), decimals, and an "x" after a ratio.
NUMBER = re.compile(r"(?<![\w^.])(\d{1,3}(?:[, ]\d{3})+(?!\d)|\d+(?:\.\d+)?)(?![\d^])(\s*x\b)?")
SCALES = {"M/s": 1e-6, "MiB": 1.0 / 2**20}


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


def _tables():
    """(page, results file, the table's body rows as lists of cells) for every marked table."""
    for page in sorted(DOCS.rglob("*.md")):
        lines = page.read_text(encoding="utf-8").splitlines()
        for i, line in enumerate(lines):
            match = MARKER.search(line)
            if not match:
                continue
            j = i + 1
            while j < len(lines) and not lines[j].startswith("|"):
                j += 1
            rows = []
            while j < len(lines) and lines[j].startswith("|"):
                rows.append([cell.strip() for cell in lines[j].strip().strip("|").split("|")])
                j += 1
            yield page.relative_to(ROOT), match.group(1), rows[2:]  # header and rule aside


TABLES = list(_tables())


def test_the_performance_page_marks_its_tables():
    pages = {str(page) for page, _, _ in TABLES}
    assert "docs/explanation/performance.md" in pages


@pytest.mark.parametrize("page,results,rows", TABLES, ids=[f"{p}:{r}" for p, r, _ in TABLES])
def test_every_figure_of_a_marked_table_is_in_its_results(page, results, rows):
    path = RESULTS / results
    assert path.exists(), f"{page} cites {results}, which benchmarks/results/ does not hold"
    recorded = list(_numbers(json.loads(path.read_text(encoding="utf-8"))))
    assert rows, f"{page}: no table after the marker of {results}"
    for row in rows:
        for cell in row[1:]:
            for match in NUMBER.finditer(cell):
                if match.group(2):  # a ratio
                    continue
                text = match.group(1).replace(",", "").replace(" ", "")
                decimals = len(text.split(".")[1]) if "." in text else 0
                shown = decimal.Decimal(text)
                scales = [1.0] + [scale for unit, scale in SCALES.items() if unit in cell]
                found = any(_rounded(v * s, decimals) == shown for v in recorded for s in scales)
                assert found, f"{page}: {text} ({cell!r}) is not in {results}"
