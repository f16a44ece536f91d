"""The public names of the C++ headers in include/quorin, read from the headers themselves:
every class, struct, alias, constant and function at namespace level (outside the
*_detail namespaces), and the public member functions of the classes users call."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
HEADERS = ROOT / "include" / "quorin"
# Classes whose public member functions each need their own reference entry.
CLASSES_IN_FULL = {"Quorin", "WindowedEnumerator", "Count", "CountBounds", "WeightTable"}

TOP_LEVEL = [
    re.compile(r"^(?:template <[^>]*>\s*)?(?:class|struct)\s+(\w+)\b(?!;)"),
    re.compile(r"^using\s+(\w+)\s*="),
    re.compile(r"^(?:constexpr|inline constexpr)\s+[\w:]+\s+(\w+)\s*="),
    re.compile(r"^__extension__\s+typedef\s+.*\s(\w+);"),
    re.compile(r"^(?:inline\s+|static\s+)?[\w:<>,]+(?:\s*[\*&])?\s+(\w+)\s*\("),
]
MEMBER = re.compile(r"^    (?:(?:explicit|static|virtual|friend|constexpr|inline)\s+)*"
                    r"(?:[\w:<>,]+(?:\s*[\*&])?\s+)*(~?\w+)\s*\(")
KEYWORDS = {"return", "if", "for", "while", "switch", "sizeof", "operator"}


def _top_level(lines):
    names, detail = [], 0
    for line in lines:
        if re.match(r"^namespace \w+_detail\b", line):
            detail += 1
        elif detail and re.match(r"^}\s*// namespace \w+_detail", line):
            detail -= 1
        elif not detail:
            for pattern in TOP_LEVEL:
                found = pattern.match(line)
                if found and found.group(1) not in KEYWORDS and found.group(1) != "namespace":
                    names.append(found.group(1))
                    break
    return names


def _public_members(lines, cls):
    """Public member functions of the namespace-level class ``cls``."""
    names, inside, public, nested = [], False, False, False
    for line in lines:
        if not inside:
            found = re.match(r"^(class|struct)\s+" + cls + r"\b(?!;)", line)
            if found:
                inside, public = True, found.group(1) == "struct"
            continue
        if line.startswith("};"):
            break
        if nested:  # a class inside the class: its members are not the class's own
            nested = not line.startswith("    };")
            continue
        if re.match(r"^    (class|struct)\s+\w+[^;]*$", line):
            nested = True
            continue
        if re.match(r"^\s*(public|private|protected):", line):
            public = line.strip().startswith("public")
            continue
        member = MEMBER.match(line)
        if public and member and member.group(1) not in KEYWORDS:
            name = member.group(1)
            if not name.startswith("~") and "operator" not in line.split("(")[0]:
                names.append(name)
    return names


def public_names():
    """{header file name: [names]}, in header order, without repeats."""
    result = {}
    for header in sorted(HEADERS.glob("*.h")):
        lines = header.read_text(encoding="utf-8").splitlines()
        names = _top_level(lines)
        for cls in CLASSES_IN_FULL & set(names):
            names += [f"{cls}::{m}" for m in _public_members(lines, cls)]
        result[header.name] = list(dict.fromkeys(names))
    return result


if __name__ == "__main__":
    for header, names in public_names().items():
        print(header, names)
