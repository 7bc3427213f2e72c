"""Headless Chromium driven over the DevTools protocol, for the report tests, benchmark and screenshot.

The browser talks on a pipe (``--remote-debugging-pipe``), so no port is opened,
and every network request is refused: a proxy that does not exist, host names
that resolve nowhere, and the DevTools network emulation set offline. Pages are
opened from ``file://`` URLs; everything a page requests, writes to the console
or throws is recorded.

    with Chromium() as browser:
        page = browser.open(path)         # waits for the load event and the page's own set-up
        page.evaluate("document.title")
        page.screenshot()                 # PNG bytes
        page.console_errors, page.requests
"""

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

# Debian names the program chromium; other systems call it one of the others.
EXECUTABLES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")

FLAGS = (
    "--headless",
    "--remote-debugging-pipe",
    "--no-sandbox",  # root in CI and containers has no usable sandbox
    "--disable-gpu",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-extensions",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-default-apps",
    "--disable-sync",
    "--mute-audio",
    "--hide-scrollbars",
    "--proxy-server=127.0.0.1:9",
    "--host-resolver-rules=MAP * ~NOTFOUND",
)

# Variables of a sanitized test run that must not reach the browser: it is not built for them.
FOREIGN_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")

# The page signals that its script has set everything up (see the report's script). The script runs
# before the load event, so a page not ready soon after it has failed: that is an error at once, not a
# wait until the browser's time-out.
READY_SCRIPT = """
new Promise((resolve, reject) => {
  const done = () => requestAnimationFrame(() => requestAnimationFrame(() => resolve(performance.now())));
  if (document.documentElement.dataset.ready) done();
  else {
    document.addEventListener("report-ready", done, {once: true});
    setTimeout(() => reject(new Error("the page's script did not signal that it was ready")), 5000);
  }
})
"""


class BrowserError(RuntimeError):
    """The browser could not be started, answered with an error or did not answer in time."""


def find_chromium():
    """The path of a Chromium executable on PATH, or None."""
    for name in EXECUTABLES:
        path = shutil.which(name)
        if path:
            return path
    return None


def _high_fd(fd):
    """``fd`` moved above the standard descriptors, so wiring 3 and 4 in the child cannot clobber it."""
    high = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return high


class Chromium:
    """One headless browser process; ``open`` gives a new tab per page."""

    def __init__(self, executable=None, timeout=60.0, window=(1400, 900)):
        executable = executable or find_chromium()
        if executable is None:
            raise BrowserError("no chromium executable on PATH")
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="ondrel-chromium-")
        commands_read, self._commands = map(_high_fd, os.pipe())
        self._replies, replies_write = map(_high_fd, os.pipe())

        def wire_pipes():  # the browser reads commands on 3 and writes replies on 4
            os.dup2(commands_read, 3)
            os.dup2(replies_write, 4)

        env = {k: v for k, v in os.environ.items() if k not in FOREIGN_VARIABLES}
        args = [executable, *FLAGS, f"--window-size={window[0]},{window[1]}", f"--user-data-dir={self.profile}",
                "about:blank"]
        self.process = subprocess.Popen(args, env=env, preexec_fn=wire_pipes, pass_fds=(3, 4),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(commands_read)
        os.close(replies_write)
        self._buffer = b""
        self._next_id = 0
        self._listeners = {}  # session id -> Page
        try:
            self.version = self.call("Browser.getVersion")["product"]
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------ protocol

    def _send(self, method, params, session):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        return self._next_id

    def _receive(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._replies], [], [], left)[0]:
                raise BrowserError("the browser did not answer in time")
            chunk = os.read(self._replies, 1 << 20)
            if not chunk:
                raise BrowserError("the browser closed the connection")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def _dispatch(self, message):
        page = self._listeners.get(message.get("sessionId"))
        if page is not None:
            page._event(message["method"], message.get("params", {}))

    def call(self, method, params=None, session=None):
        """The result of one DevTools command; events that arrive meanwhile go to their pages."""
        wanted = self._send(method, params, session)
        deadline = time.monotonic() + self.timeout
        while True:
            message = self._receive(deadline)
            if message.get("id") == wanted:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error'].get('message')}")
                return message.get("result", {})
            if "method" in message:
                self._dispatch(message)

    def wait_for(self, page, method, deadline):
        while method not in page.events_seen:
            message = self._receive(deadline)
            if "method" in message:
                self._dispatch(message)

    # ------------------------------------------------------------ pages

    def open(self, path, wait_until_ready=True):
        """A new tab showing the file ``path``, after its load event (and the page's ready signal)."""
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, target, session)
        self._listeners[session] = page
        for domain in ("Page", "Runtime", "Log", "Network"):
            page.call(f"{domain}.enable")
        page.call("Network.emulateNetworkConditions",
                  {"offline": True, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1})
        page.url = Path(path).resolve().as_uri()
        started = time.perf_counter()
        page.call("Page.navigate", {"url": page.url})
        self.wait_for(page, "Page.loadEventFired", time.monotonic() + self.timeout)
        page.load_seconds = time.perf_counter() - started
        if wait_until_ready:
            page.ready_ms = page.evaluate(READY_SCRIPT)
        return page

    def close(self):
        if self.process.poll() is None:
            try:
                self._send("Browser.close", None, None)
                self.process.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        for fd in (self._commands, self._replies):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Page:
    """One tab: what it requested, logged and threw, and commands run in it."""

    def __init__(self, browser, target, session):
        self.browser = browser
        self.target = target
        self.session = session
        self.url = None
        self.events_seen = set()
        self.console_errors = []  # texts of console.error calls, uncaught exceptions and browser log errors
        self.requests = []  # every URL the page asked for
        self.load_seconds = None
        self.ready_ms = None

    def _event(self, method, params):
        self.events_seen.add(method)
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            self.console_errors.append(" ".join(str(arg.get("value", arg.get("description", "")))
                                                for arg in params.get("args", [])))
        elif method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            self.console_errors.append(details.get("exception", {}).get("description") or details.get("text"))
        elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
            self.console_errors.append(params["entry"].get("text"))
        elif method == "Network.requestWillBeSent":
            self.requests.append(params["request"]["url"])

    def call(self, method, params=None):
        return self.browser.call(method, params, self.session)

    def evaluate(self, expression):
        """The value of a JavaScript expression (promises are awaited); its exception as BrowserError."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise BrowserError(details.get("exception", {}).get("description") or details.get("text"))
        return result["result"].get("value")

    def box(self, selector):
        """(x, y, width, height) in the viewport of the first element matching the CSS ``selector``,
        scrolled into view."""
        return self.evaluate(f"(() => {{ const e = document.querySelector({json.dumps(selector)}); "
                             "e.scrollIntoView({block: 'center', inline: 'center'}); "
                             "const r = e.getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; })()")

    def click(self, selector):
        """Click the middle of the first element matching the CSS ``selector``, as a mouse would."""
        x, y, width, height = self.box(selector)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", {"type": kind, "x": x + width / 2, "y": y + height / 2,
                                                   "button": "left", "buttons": 1, "clickCount": 1})

    def screenshot(self, selector=None, full_page=False):
        """A PNG of the viewport, of the element matching ``selector``, or of the whole page."""
        self.call("Page.bringToFront")  # a background tab paints no frames
        params = {"format": "png"}
        if selector:
            x, y, width, height = self.box(selector)
            scroll_x, scroll_y = self.evaluate("[scrollX, scrollY]")  # the clip is in page coordinates
            params["clip"] = {"x": x + scroll_x, "y": y + scroll_y, "width": width, "height": height, "scale": 1}
        elif full_page:
            params["captureBeyondViewport"] = True
            size = self.call("Page.getLayoutMetrics")["cssContentSize"]
            params["clip"] = {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}
        return base64.b64decode(self.call("Page.captureScreenshot", params)["data"])

    def close(self):
        self.browser._listeners.pop(self.session, None)
        self.browser.call("Target.closeTarget", {"targetId": self.target})
