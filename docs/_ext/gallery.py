"""The examples as a gallery: each script run at build time as a user runs it.

Every ``examples/*.py`` gets a page, ``gallery/<name>.md``, made when the
build starts: the script is run with its default arguments (``python
examples/<name>.py``, matplotlib's Agg backend), or with those that
``gallery_arguments`` in conf.py gives it, and the page shows the module docstring, what the run printed,
every figure it saved and the source.  A new example needs no change here;
it needs nothing but to run with its defaults and exit with status 0.  A
script that fails stops the build with what it printed.

The page title is the docstring's first line (the file name without one).
A run is reused only while the script, the installed tarnivox and this
file are unchanged (``docs/gallery/.cache``); ``TARNIVOX_GALLERY_RERUN=1``
runs every example anew.
"""

from __future__ import annotations

import ast
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

from sphinx.errors import ExtensionError
from sphinx.util import logging

logger = logging.getLogger(__name__)

RUNNER = Path(__file__).with_name("run_example.py")


def digest(*paths: Path) -> str:
    h = hashlib.sha256()
    for path in paths:
        h.update(path.read_bytes())
    return h.hexdigest()


def tarnivox_file() -> Path:
    found = subprocess.run([sys.executable, "-c", "import tarnivox; print(tarnivox.__file__)"],
                           capture_output=True, text=True, check=True)
    return Path(found.stdout.strip())


def fence(text: str, info: str = "text") -> str:
    ticks = "```"
    while ticks in text:
        ticks += "`"
    return f"{ticks}{info}\n{text.rstrip()}\n{ticks}\n"


def run(script: Path, outdir: Path, arguments: list[str]) -> dict:
    """Runs `script` through the runner, which records the images it saves."""
    if outdir.exists():
        shutil.rmtree(outdir)
    outdir.mkdir(parents=True)
    manifest = outdir / "manifest.json"
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONUNBUFFERED="1")
    began = time.perf_counter()
    proc = subprocess.run([sys.executable, str(RUNNER), str(manifest), str(script), *arguments],
                          cwd=outdir, capture_output=True, text=True, env=env)
    seconds = time.perf_counter() - began
    if proc.returncode != 0:
        raise ExtensionError(f"examples/{script.name} exited with status {proc.returncode}:\n"
                             f"{proc.stdout}\n{proc.stderr}")
    images = json.loads(manifest.read_text())["images"]
    kept = []
    for k, image in enumerate(images):
        source = Path(image)
        if source.is_file():
            target = outdir / f"figure_{k}{source.suffix}"
            shutil.copyfile(source, target)
            kept.append(target.name)
    return {"stdout": proc.stdout, "seconds": seconds, "images": kept,
            "command": " ".join([f"python examples/{script.name}", *arguments]),
            "date": datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}


def page(script: Path, result: dict) -> str:
    docstring = ast.get_docstring(ast.parse(script.read_text())) or ""
    lines = docstring.strip().splitlines()
    title = lines[0].strip().rstrip(".") if lines else script.stem
    name = script.stem
    parts = [f"# {title}\n",
             f"`examples/{script.name}`, run when this site was built "
             f"({result['date']}, {result['seconds']:.1f} s) with "
             f"`{result['command']}`.\n"]
    if docstring:
        parts += ["## What it does\n", fence(docstring)]
    parts += ["## What it printed\n", fence(result["stdout"] or "(nothing)")]
    if result["images"]:
        parts.append("## Figures\n")
        for image in result["images"]:
            parts.append(f"```{{image}} {name}/{image}\n:alt: a figure from {script.name}\n"
                         ":width: 100%\n```\n")
    parts += ["## Source\n",
              f"```{{literalinclude}} ../../examples/{script.name}\n:language: python\n```\n"]
    return "\n".join(parts)


def build_gallery(app) -> None:
    src = Path(app.srcdir)
    examples = src.parent / "examples"
    gallery = src / "gallery"
    gallery.mkdir(exist_ok=True)
    cache_path = gallery / ".cache"
    cache = json.loads(cache_path.read_text()) if cache_path.exists() else {}
    rerun = os.environ.get("TARNIVOX_GALLERY_RERUN") == "1"
    module = tarnivox_file()
    scripts = sorted(examples.glob("*.py"))
    entries = []
    for script in scripts:
        name = script.stem
        arguments = list(app.config.gallery_arguments.get(name, []))
        key = digest(script, module, Path(__file__), RUNNER) + " ".join(arguments)
        target = gallery / f"{name}.md"
        if rerun or cache.get(name, {}).get("key") != key or not target.exists():
            logger.info(f"gallery: running examples/{script.name}")
            result = run(script, gallery / name, arguments)
            target.write_text(page(script, result))
            cache[name] = {"key": key, "seconds": result["seconds"]}
            cache_path.write_text(json.dumps(cache, indent=1))
        entries.append(name)
    for stale in gallery.glob("*.md"):
        if stale.stem not in entries and stale.name != "index.md":
            stale.unlink()
    index = ["# Gallery\n",
             "Every script in `examples/`, run when this site was built: each page shows "
             "what the run printed and the figures it saved.\n",
             "```{toctree}\n:maxdepth: 1\n\n" + "\n".join(entries) + "\n```\n"]
    text = "\n".join(index)
    if not (gallery / "index.md").exists() or (gallery / "index.md").read_text() != text:
        (gallery / "index.md").write_text(text)


def setup(app):
    app.add_config_value("gallery_arguments", {}, "env")
    app.connect("builder-inited", build_gallery)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
