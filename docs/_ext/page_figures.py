"""Sphinx extension: before reading the pages, runs the code that draws the figures.

``figure_pages`` names pages (relative to the docs folder) whose own python blocks draw
figures: they run as one script, the way the docs tests run them, with the working
directory docs/_generated, where the page's images point. ``figure_scripts`` names plain
scripts run the same way (figures drawn from the benchmark's results). A failure stops the
build, so a figure never goes stale silently.
"""

import os
import pathlib
import subprocess
import sys
import tempfile

from sphinx.errors import ExtensionError
from sphinx.util import logging

import code_blocks

logger = logging.getLogger(__name__)


def _run(source, label, out_dir):
    env = dict(os.environ, MPLBACKEND="Agg")
    with tempfile.NamedTemporaryFile("w", suffix=".py", dir=out_dir, delete=False) as f:
        f.write(source)
        script = f.name
    try:
        done = subprocess.run([sys.executable, script], cwd=out_dir, env=env,
                              capture_output=True, text=True)
    finally:
        os.unlink(script)
    if done.returncode != 0:
        raise ExtensionError(f"the code of {label} failed while drawing its figures:\n"
                             f"{done.stdout}\n{done.stderr}")
    logger.info(f"figures of {label} drawn")


def draw_figures(app):
    docs = pathlib.Path(app.srcdir)
    out_dir = docs / "_generated"
    out_dir.mkdir(exist_ok=True)
    for page in app.config.figure_pages:
        _run(code_blocks.python_script(docs / page), page, out_dir)
    for script in app.config.figure_scripts:
        _run((docs / script).read_text(encoding="utf-8"), script, out_dir)


def setup(app):
    app.add_config_value("figure_pages", [], "env")
    app.add_config_value("figure_scripts", [], "env")
    app.connect("builder-inited", draw_figures)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
