"""The documentation's examples run, and its reference covers every public name.

Every ```python block of README.md and of the pages under docs/ runs: a page's blocks in
order, as one script in a fresh interpreter (see docs/_ext/code_blocks.py). Every ```cpp
block is a complete program, built against quorin::core with CMake and run. A block that
must not run starts with a "not run here:" comment saying why. Run by scripts/check-docs.
"""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "docs" / "_ext"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import code_blocks  # noqa: E402
import header_names  # noqa: E402

PAGES = [ROOT / "README.md"] + sorted(
    p for p in (ROOT / "docs").rglob("*.md") if "_generated" not in p.parts)
# Examples that would run for hours or need a cluster; each says so on its first line.
MOST_SKIPPED = 12


def _name(page):
    return str(page.relative_to(ROOT))


def _python_pages():
    return [p for p in PAGES if any(b.language == "python" and not b.skipped
                                    for b in code_blocks.blocks(p))]


def _environment():
    return dict(os.environ, MPLBACKEND="Agg", PYTHONDONTWRITEBYTECODE="1")


@pytest.mark.parametrize("page", _python_pages(), ids=_name)
def test_python_examples_of_page_run(page, tmp_path):
    script = code_blocks.python_script(page)
    path = tmp_path / "page_examples.py"
    path.write_text(script, encoding="utf-8")
    done = subprocess.run([sys.executable, str(path)], cwd=tmp_path, env=_environment(),
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        lines = [int(n) for n in re.findall(r'page_examples\.py", line (\d+)', done.stderr)]
        where = code_blocks.page_of_line(script, lines[-1]) if lines else _name(page)
        pytest.fail(f"the example at {where} failed:\n{done.stderr[-4000:]}")


def test_few_examples_are_left_out():
    skipped = [b.where() for p in PAGES for b in code_blocks.blocks(p) if b.skipped]
    assert len(skipped) <= MOST_SKIPPED, skipped


def _cpp_blocks():
    return [b for p in PAGES for b in code_blocks.blocks(p)
            if b.language == "cpp" and not b.skipped]


def test_cpp_examples_build_and_run(tmp_path):
    """Every C++ block, as its own program linked to quorin::core the way the C++ how-to
    says (add_subdirectory); the core is built once, in build/docs-cpp."""
    blocks = _cpp_blocks()
    assert blocks, "the docs show C++ examples"
    project = ROOT / "build" / "docs-cpp"
    sources = project / "examples"
    sources.mkdir(parents=True, exist_ok=True)
    lists = ["cmake_minimum_required(VERSION 3.18)", "project(docs_examples LANGUAGES CXX)",
             f'add_subdirectory("{ROOT}" quorin)']
    for k, block in enumerate(blocks):
        assert "int main(" in block.code, f"{block.where()}: a C++ example is a whole program"
        source = sources / f"example_{k}.cpp"
        if not source.exists() or source.read_text() != block.code:
            source.write_text(block.code)
        lists += [f"add_executable(example_{k} examples/example_{k}.cpp)",
                  f"target_link_libraries(example_{k} PRIVATE quorin::core)",
                  f"target_compile_options(example_{k} PRIVATE -Wall -Wextra -Werror)"]
    (project / "CMakeLists.txt").write_text("\n".join(lists) + "\n")
    build = project / "build"
    for command in (["cmake", "-S", str(project), "-B", str(build), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=Release"],
                    ["cmake", "--build", str(build), "-j", "2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, f"{' '.join(command)}:\n{done.stdout[-4000:]}{done.stderr[-4000:]}"
    for k, block in enumerate(blocks):
        done = subprocess.run([str(build / f"example_{k}")], cwd=tmp_path, capture_output=True,
                              text=True, timeout=300)
        assert done.returncode == 0, f"the example at {block.where()} failed:\n{done.stderr}"


def test_python_example_script_runs(tmp_path):
    """The second half of the README's first set-up command."""
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "example.py")], cwd=tmp_path,
                          env=_environment(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "the secret key" in done.stdout


def test_every_public_python_name_has_a_reference_entry():
    import quorin

    page = (ROOT / "docs" / "reference" / "python.md").read_text(encoding="utf-8")
    documented = set(re.findall(r"^\.\. auto\w+:: quorin\.(\w+)", page, re.MULTILINE))
    assert sorted(set(quorin.__all__) - documented) == []


def test_every_public_cpp_name_has_a_reference_entry():
    page = (ROOT / "docs" / "reference" / "cpp.md").read_text(encoding="utf-8")
    missing = []
    for header, names in header_names.public_names().items():
        for name in names:
            short = name.split("::")[-1]
            if not re.search(r"\b" + re.escape(short) + r"\b", page):
                missing.append(f"{header}: {name}")
            elif "::" in name and not re.search(r"\b" + re.escape(name) + r"\b", page):
                missing.append(f"{header}: {name}")
    assert missing == []
