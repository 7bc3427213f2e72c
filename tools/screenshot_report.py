"""Regenerates the README's screenshot: the bundled detector's report in headless Chromium, with the node
that carries the lint error selected, the whole graph in view.

    python tools/screenshot_report.py [OUT.png]      # default docs/report-detector.png
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from headless_chromium import Chromium  # noqa: E402

from ondrel.sdk import examples  # noqa: E402
from ondrel.sdk.report import ModelView  # noqa: E402

DEFAULT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs", "report-detector.png")
SELECTED = "stem_lif"
WINDOW = (1300, 1150)


def main(out=DEFAULT):
    with tempfile.TemporaryDirectory() as folder, Chromium(window=WINDOW) as browser:
        page_path = os.path.join(folder, "detector.html")
        ModelView(examples.detector()).save(page_path)
        page = browser.open(page_path)
        page.click('[data-zoom="fit"]')
        page.click(f'.node[data-node="{SELECTED}"]')
        page.evaluate("scrollTo(0, 0)")
        if page.console_errors:
            sys.exit(f"the page reported errors: {page.console_errors}")
        png = page.screenshot()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "wb") as fh:
        fh.write(png)
    print(f"Wrote {out}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
