"""The documentation runs: every Python block of the README and of the site's pages.

Each Markdown document is parsed with Sybil and its ``python`` blocks are run
in order in one namespace, as a reader would paste them one after the
other; a block that raises fails its document.  The README's comparison
with peers must be the one that its results file gives
(tools/readme_peers.py writes it).
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
DOCUMENTS = sorted([ROOT / "README.md", *(ROOT / "docs").glob("*.md"),
                    *(ROOT / "docs" / "reference").glob("*.md")])


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: str(p.relative_to(ROOT)))
def test_every_python_block_runs(path, tmp_path, monkeypatch):
    sybil = pytest.importorskip("sybil")
    from sybil.parsers.myst import PythonCodeBlockParser

    document = sybil.Sybil(parsers=[PythonCodeBlockParser()]).parse(path)
    # Functions defined in a block are shipped to Dask workers by value, as
    # those of a script's __main__ are.
    document.namespace["__name__"] = "__main__"
    monkeypatch.chdir(tmp_path)
    # Blocks import the examples' helpers as a user does from the repository's root.
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    examples = list(document)
    for example in examples:
        example.evaluate()
    if path.name == "README.md":
        assert examples, "the README's example is a python block"


def test_readme_comparison_with_peers_is_current():
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "readme_peers.py"), "--check"],
                          capture_output=True, text=True, env=dict(os.environ))
    assert proc.returncode == 0, proc.stdout + proc.stderr
