"""Runs an example as ``python examples/<name>.py`` would, noting each image it saves.

    python run_example.py MANIFEST SCRIPT [ARGS...]

The script runs as ``__main__`` with its own folder first on ``sys.path``;
matplotlib's ``Figure.savefig`` is wrapped to note where each image went, and
a figure left open and never saved is saved beside the manifest.  The list is
written to MANIFEST (JSON) when the script ends; its exit status is this
program's.
"""

import atexit
import json
import runpy
import sys
from pathlib import Path

IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".svg"}


def main() -> None:
    manifest = Path(sys.argv[1])
    script = Path(sys.argv[2]).resolve()
    images: list[str] = []
    saved_figures: set[int] = set()

    try:
        import matplotlib
        matplotlib.use("Agg")
        from matplotlib import pyplot
        from matplotlib.figure import Figure
    except ImportError:
        pyplot = None
    else:
        original = Figure.savefig

        def savefig(self, fname, *args, **kwargs):
            result = original(self, fname, *args, **kwargs)
            if isinstance(fname, (str, Path)) and Path(fname).suffix.lower() in IMAGE_SUFFIXES:
                images.append(str(Path(fname).resolve()))
                saved_figures.add(id(self))
            return result

        Figure.savefig = savefig

    def write() -> None:
        if pyplot is not None:
            for number in pyplot.get_fignums():
                figure = pyplot.figure(number)
                if id(figure) not in saved_figures:
                    figure.savefig(manifest.with_name(f"open_figure_{number}.png"), dpi=100)
        manifest.write_text(json.dumps({"images": images}))

    atexit.register(write)
    sys.argv = [str(script), *sys.argv[3:]]
    sys.path.insert(0, str(script.parent))
    runpy.run_path(str(script), run_name="__main__")


if __name__ == "__main__":
    main()
