"""Regenerates the screenshots of docs/: the bundled detector's report in headless Chromium, with the node that
carries the lint error selected, the whole graph in view; and a 100,000-node model's report, one part of it
opened and a node in it selected.

    python tools/screenshot_report.py [OUT.png] [LARGE.png]   # default docs/report-detector.png, docs/report-large.png
"""

import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))

from bench_report import branching_graph  # noqa: E402
from headless_chromium import Chromium  # noqa: E402

from ondrel.sdk import examples  # noqa: E402
from ondrel.sdk.report import ModelView  # noqa: E402

DOCS = os.path.join(os.path.dirname(HERE), "docs")
SELECTED = "stem_lif"
WINDOW = (1300, 1500)  # tall enough for the whole detector at a readable zoom
LARGE_WINDOW = (1300, 1000)


def shoot(browser, folder, view, name, actions):
    page_path = os.path.join(folder, name)
    view.save(page_path)
    page = browser.open(page_path)
    for action in actions:
        action(page)
    page.evaluate("scrollTo(0, 0)")
    if page.console_errors:
        sys.exit(f"the page reported errors: {page.console_errors}")
    png = page.screenshot()
    page.close()
    return png


def write(path, png):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(png)
    print(f"Wrote {path}")


def main(out=os.path.join(DOCS, "report-detector.png"), large=os.path.join(DOCS, "report-large.png")):
    with tempfile.TemporaryDirectory() as folder:
        with Chromium(window=WINDOW) as browser:
            write(out, shoot(browser, folder, ModelView(examples.detector()), "detector.html", [
                lambda page: page.click('[data-zoom="fit"]'),
                lambda page: page.click(f'.node[data-node="{SELECTED}"]')]))
        with Chromium(window=LARGE_WINDOW) as browser:
            write(large, shoot(browser, folder, ModelView(branching_graph(100_000), title="network-shaped, 100,000 nodes"),
                               "large.html", [
                lambda page: page.click(".group[data-group] text"),
                lambda page: page.click(".group.open .group:not(.open) text"),
                lambda page: page.click(".group.open .node")]))


if __name__ == "__main__":
    main(*sys.argv[1:3])
