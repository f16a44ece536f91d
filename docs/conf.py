"""Sphinx configuration of quorin's documentation (built by scripts/check-docs)."""

import pathlib
import re
import sys

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "quorin"
author = "the quorin developers"
copyright = "the quorin developers"
# The version is set once, in the project() line of CMakeLists.txt.
release = version = re.search(r"project\(quorin VERSION ([0-9.]+)",
                              (ROOT / "CMakeLists.txt").read_text()).group(1)

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "page_figures",
]

# Pages whose own code draws their figures at build time (into docs/_generated).
figure_pages = ["tutorial.md"]
figure_scripts = ["_figures/benchmark_figures.py"]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build", "_ext", "_figures", "_generated"]

myst_enable_extensions = ["colon_fence", "dollarmath", "deflist"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}
add_module_names = False

html_theme = "furo"
html_title = f"quorin {release}"
html_static_path = []
