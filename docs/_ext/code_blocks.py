"""The code examples of the Markdown pages (README.md and docs/), as the docs tests run them.

A page's ```python blocks run in order as one script, in a fresh interpreter, the way a
reader would paste them into a file: so `if __name__ == "__main__":`, worker processes and
pickling behave as they do for the reader. A page's ```cpp blocks are complete programs,
each built against quorin::core and run. A block whose first line is a comment starting
with "not run here:" says why it is left out (a cluster, a search of days) and is skipped.
"""

import dataclasses
import pathlib
import re

SKIP_MARK = re.compile(r"^\s*(#|//)\s*not run here:", re.IGNORECASE)
FENCE = re.compile(r"^(?P<indent>\s*)(?P<fence>`{3,}|~{3,})\s*(?P<info>.*)$")
LANGUAGES = {"python": "python", "py": "python", "pycon": None, "cpp": "cpp", "c++": "cpp"}


@dataclasses.dataclass
class Block:
    page: pathlib.Path
    line: int  # 1-based line of the block's first code line
    language: str  # "python" or "cpp"
    code: str

    @property
    def skipped(self):
        first = self.code.lstrip("\n").splitlines()[:1]
        return bool(first) and bool(SKIP_MARK.match(first[0]))

    def where(self):
        return f"{self.page}:{self.line}"


def _language(info):
    """The language of a fence's info string: ```python, ```{code-block} python."""
    words = info.replace("{code-block}", "").replace("{code}", "").split()
    return LANGUAGES.get(words[0].lower()) if words else None


def blocks(page):
    """Every python and cpp block of ``page``, in order."""
    page = pathlib.Path(page)
    lines = page.read_text(encoding="utf-8").splitlines()
    found, i = [], 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence = opening["indent"], opening["fence"]
        language = _language(opening["info"])
        body, i = [], i + 1
        while i < len(lines) and not (lines[i].strip().startswith(fence)
                                      and lines[i].strip().strip(fence[0]) == ""):
            body.append(lines[i])
            i += 1
        first = i - len(body) + 1  # 1-based line of the first body line
        i += 1
        if language is None:
            continue
        while body and re.match(r"^\s*:\w[\w-]*:", body[0]):  # directive options
            body.pop(0)
            first += 1
        code = "\n".join(line[len(indent):] if line.startswith(indent) else line.lstrip()
                         for line in body)
        found.append(Block(page, first, language, code + "\n"))
    return found


def python_script(page):
    """The page's python blocks that run, as one script; each block is preceded by a
    comment naming where it comes from, so a traceback leads back to the page."""
    parts = []
    for block in blocks(page):
        if block.language == "python" and not block.skipped:
            parts.append(f"# ---- {block.where()}\n{block.code}")
    return "\n".join(parts)


def page_of_line(script, line):
    """The page line that ``line`` (1-based) of ``python_script``'s output comes from."""
    origin, offset = None, 0
    for number, text in enumerate(script.splitlines()[:line], start=1):
        if text.startswith("# ---- "):
            origin, offset = text[len("# ---- "):], number
    if origin is None:
        return None
    path, first = origin.rsplit(":", 1)
    return f"{path}:{int(first) + line - offset - 1}"
