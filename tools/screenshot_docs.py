#!/usr/bin/env python3
"""Screenshots of the built documentation site, taken with headless Chromium.

    python tools/screenshot_docs.py [--site docs/_build/html] [--out docs/_build/screenshots]

Takes the home page, a reference page and a gallery page (with figures) as a
reader's browser shows them, full width, as PNG files to look at: figures
must show, tables be readable, no image be broken.  It also lists every
<img> of those pages whose file is missing from the site.  Needs Debian's
``chromium`` package (``apt-get install chromium``) or any Chromium or
Chrome on PATH; build the site first.
"""

from __future__ import annotations

import argparse
import html.parser
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PAGES = {
    "home": "index.html",
    "reference": "reference/integrated_heyrovsky_magnification.html",
    "gallery": "gallery/fit_real_event.html",
    "accuracy": "accuracy-performance.html",
}


class Images(html.parser.HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.sources: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "img":
            source = dict(attrs).get("src")
            if source:
                self.sources.append(source)


def browser() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome", "chrome"):
        found = shutil.which(name)
        if found:
            return found
    raise SystemExit("no Chromium found: apt-get install chromium")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--site", type=Path, default=ROOT / "docs" / "_build" / "html")
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "_build" / "screenshots")
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=3600)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    chromium = browser()
    broken = 0
    for name, page in PAGES.items():
        path = (args.site / page).resolve()
        if not path.exists():
            raise SystemExit(f"{path} does not exist: build the site first")
        images = Images()
        images.feed(path.read_text())
        for source in images.sources:
            if "://" in source or source.startswith("data:"):
                continue
            if not (path.parent / source.split("#")[0]).exists():
                print(f"{page}: broken image {source}")
                broken += 1
        shot = args.out / f"{name}.png"
        subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                        "--hide-scrollbars", f"--window-size={args.width},{args.height}",
                        f"--screenshot={shot}", path.as_uri()],
                       check=True, capture_output=True, timeout=120)
        print(f"{page}: {len(images.sources)} images -> {shot}")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
