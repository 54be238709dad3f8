"""The built documentation site in a real browser (headless Chromium).

    python3 .ci/browser_check.py SITE_DIR [--screenshot PNG]

- The home page and a reference page load, opened as files and over a
  local http.server on 127.0.0.1, with no console error, no uncaught
  exception and no request leaving the machine; the reference page shows
  its class, members and operator table.
- Search: a query typed into the search box lists results, over the server
  and on the pages opened as files.
- Layout: at a phone's width (420 px) the comparison tables of the guide
  show the module's own column without scrolling, and the reference's
  parameter tables and signatures fit the window; at 420 and 1280 px no
  code in a table breaks inside a name.

Chromium is driven over its DevTools protocol on a pipe
(--remote-debugging-pipe: JSON messages ending in a NUL byte on file
descriptors 3 and 4), so nothing beyond the standard library is needed.
"""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import functools
import http.server
import json
import os
import select
import shutil
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from urllib.parse import urlparse

TIMEOUT = 30.0
REFERENCE = "reference/Vec3d.html"
QUERY = "distance_to"


class BrowserError(Exception):
    pass


class Chromium:
    def __init__(self, executable: str, profile: str) -> None:
        # The browser reads commands on its fd 3 and writes on its fd 4. The
        # pipe ends are first moved above 4, so that the moves cannot clash.
        to_browser_r, self.to_browser = (_high(fd) for fd in os.pipe())
        self.from_browser, from_browser_w = (_high(fd) for fd in os.pipe())
        arguments = [executable, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--no-default-browser-check", "--disable-extensions", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}",
                     "--window-size=1280,900", "--remote-debugging-pipe", "about:blank"]
        self.pid = os.posix_spawn(executable, arguments, os.environ, file_actions=[
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
            (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0),
            (os.POSIX_SPAWN_DUP2, to_browser_r, 3),
            (os.POSIX_SPAWN_DUP2, from_browser_w, 4),
        ])
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events: list[dict] = []
        self.session = ""

    def send(self, method: str, params: dict | None = None, session: bool = True) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            reply = self._read(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)
        raise BrowserError(f"{method}: no answer in {TIMEOUT} s")

    def _read(self, deadline: float) -> dict:
        while b"\0" not in self.buffer:
            if not select.select([self.from_browser], [], [], max(0.0, deadline - time.monotonic()))[0]:
                raise BrowserError("the browser went silent")
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                raise BrowserError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def pump(self, seconds: float) -> None:
        """Collects the events that arrive within `seconds`."""
        deadline = time.monotonic() + seconds
        with contextlib.suppress(BrowserError):
            while time.monotonic() < deadline:
                self.events.append(self._read(deadline))

    def open_tab(self) -> None:
        target = self.send("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.send(f"{domain}.enable")

    def evaluate(self, expression: str) -> object:
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression: str, what: str) -> object:
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            self.pump(0.2)
        raise BrowserError(f"timed out waiting for {what}")

    def load(self, url: str) -> list[str]:
        """Opens `url`; returns the problems seen while it loads and settles."""
        self.events.clear()
        self.send("Page.navigate", {"url": url})
        self.wait_for("document.readyState === 'complete'", f"{url} to load")
        self.pump(1.0)
        return self.problems()

    def problems(self) -> list[str]:
        found = []
        for event in self.events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                found.append("console error: " + " ".join(str(a.get("value", a.get("description")))
                                                          for a in params.get("args", [])))
            elif method == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                found.append("uncaught: " + details.get("exception", {}).get("description", details.get("text", "")))
            elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
                found.append(f"browser error: {params['entry']['text']} {params['entry'].get('url', '')}")
            elif method == "Network.requestWillBeSent":
                url = urlparse(params["request"]["url"])
                if url.scheme not in ("file", "data", "blob", "about") and url.hostname not in ("127.0.0.1",):
                    found.append(f"request leaving the machine: {params['request']['url']}")
            elif method == "Network.loadingFailed" and not params.get("canceled"):
                found.append(f"failed to load: {params.get('errorText')} ({params.get('type')})")
        return found

    def screenshot(self, path: Path) -> None:
        import base64
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        path.write_bytes(base64.b64decode(data))

    def close(self) -> None:
        with contextlib.suppress(OSError, BrowserError):
            os.write(self.to_browser, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
        deadline = time.monotonic() + 10
        while os.waitpid(self.pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
                break
            time.sleep(0.1)
        os.close(self.to_browser)
        os.close(self.from_browser)


def _high(fd: int) -> int:
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


@contextlib.contextmanager
def served(site: Path) -> Iterator[str]:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(site)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


# What the reference page must show: the class heading, member sections in
# the sidebar, and the operator table.
REFERENCE_CHECK = """(() => {
  const content = document.querySelector("article.md-content__inner");
  const members = document.querySelectorAll(".md-sidebar--primary .md-nav__link[href*='#tessary_py.Vec3d.']");
  const rows = document.querySelectorAll("#Vec3d-operators ~ table tbody tr, #Vec3d-operators + * tbody tr");
  return {
    text: content ? content.innerText.length : 0,
    heading: !!document.getElementById("tessary_py.Vec3d"),
    members: members.length,
    operators: rows.length,
  };
})()"""


def check_pages(browser: Chromium, base: str) -> list[str]:
    failures = []
    for page in ("index.html", REFERENCE):
        failures += [f"{base}{page}: {p}" for p in browser.load(base + page)]
        text = browser.evaluate("(document.querySelector('article.md-content__inner') || {}).innerText || ''")
        if len(str(text)) < 200:
            failures.append(f"{base}{page}: the page is empty")
    browser.load(base + REFERENCE)
    shown = browser.evaluate(REFERENCE_CHECK)
    assert isinstance(shown, dict)
    print(f"  {base}{REFERENCE}: {shown}")
    if not shown["heading"] or shown["text"] < 2000:
        failures.append(f"{base}{REFERENCE}: no reference content ({shown})")
    if shown["members"] < 10:
        failures.append(f"{base}{REFERENCE}: the sidebar lists {shown['members']} members")
    if shown["operators"] < 5:
        failures.append(f"{base}{REFERENCE}: the operator table has {shown['operators']} rows")
    return failures


# The comparison tables of the guide, each by a heading it follows, and
# the header of the module's own column.
COMPARISONS = [("guide/neighbours.html", "coming-from-scipy-pykdtree-or-open3d", "KdTree"),
               ("guide/fitting.html", "equivalents", "tessary_py"),
               ("guide/poses.html", "beside-scipy-pyglm-and-pytransform3d", "tessary_py")]
# Reference pages whose parameter tables and signatures must fit a phone.
NARROW_REFERENCE = ["reference/Transform.html", "reference/KdTree.html", "reference/VecList.html"]
PHONE, DESKTOP = 420, 1280

# Where a line of a code element breaks between two characters of one
# identifier (letters, digits, underscores): each break, as the text on
# either side of it. A break is where a character's box starts a new line.
BROKEN_NAMES = """((selector) => {
  const found = [];
  const word = /[A-Za-z0-9_]/;
  for (const code of document.querySelectorAll(selector)) {
    const text = code.textContent;
    const walker = document.createTreeWalker(code, NodeFilter.SHOW_TEXT);
    const chars = [];
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      for (let i = 0; i < node.data.length; i++) chars.push([node, i]);
    }
    let lastTop = null, lastChar = "";
    for (const [node, i] of chars) {
      const range = document.createRange();
      range.setStart(node, i);
      range.setEnd(node, i + 1);
      const box = range.getClientRects()[0];
      const char = node.data[i];
      if (!box || /\s/.test(char)) { lastChar = char; continue; }
      if (lastTop !== null && box.top > lastTop + 2 && word.test(lastChar) && word.test(char)) {
        found.push(text.slice(0, 80));
        break;
      }
      lastTop = box.top;
      lastChar = char;
    }
  }
  return found;
})"""

# The module's column of a comparison table: whether its header and every
# cell lie inside the window, the table scrolled as it loads.
OWN_COLUMN = """((anchor, header) => {
  const heading = document.getElementById(anchor);
  if (!heading) return {error: "no heading #" + anchor};
  let table = null;
  for (let node = heading.nextElementSibling; node && !table; node = node.nextElementSibling) {
    table = node.matches("table") ? node : node.querySelector("table");
  }
  if (!table) return {error: "no table after #" + anchor};
  const heads = [...table.querySelectorAll("thead th")];
  const column = heads.findIndex(th => th.textContent.trim() === header);
  if (column < 0) return {error: "no column " + header};
  const width = document.documentElement.clientWidth;
  const cells = [heads[column], ...[...table.querySelectorAll("tbody tr")].map(tr => tr.children[column])];
  const outside = cells.filter(c => { const r = c.getBoundingClientRect(); return r.left < -0.5 || r.right > width + 0.5; });
  return {column, cells: cells.length, outside: outside.map(c => c.textContent.trim().slice(0, 40))};
})"""

# Parameter, return and exception tables and signatures of a reference
# page: every cell and every signature inside the window, none scrolled.
REFERENCE_FITS = """(() => {
  const width = document.documentElement.clientWidth;
  const cells = [...document.querySelectorAll(".doc-contents tr.doc-section-item > td")];
  const outside = cells.filter(c => { const r = c.getBoundingClientRect(); return r.width === 0 || r.right > width + 0.5; });
  const signatures = [...document.querySelectorAll(".doc-signature pre")];
  // The theme scrolls a block's code element rather than the block.
  const overflowing = signatures.filter(p => [p, ...p.children].some(e => e.scrollWidth > e.clientWidth + 1 ||
                                                                       e.getBoundingClientRect().right > width + 0.5));
  return {cells: cells.length, outside: outside.map(c => c.textContent.trim().slice(0, 40)),
          signatures: signatures.length, overflowing: overflowing.map(p => p.textContent.trim().slice(0, 40))};
})()"""


def set_width(browser: Chromium, width: int) -> None:
    browser.send("Emulation.setDeviceMetricsOverride", {"width": width, "height": 900, "deviceScaleFactor": 1,
                                                          "mobile": width < 600})


def check_layout(browser: Chromium, base: str) -> list[str]:
    """At a phone's width: the comparison tables show the module's column,
    and the reference's tables and signatures fit; at both widths, no code
    in a table breaks inside a name."""
    failures = []
    try:
        for width in (PHONE, DESKTOP):
            set_width(browser, width)
            for page, anchor, header in COMPARISONS:
                failures += [f"{base}{page} at {width} px: {p}" for p in browser.load(base + page)]
                if width == PHONE:
                    shown = browser.evaluate(f"{OWN_COLUMN}({json.dumps(anchor)}, {json.dumps(header)})")
                    assert isinstance(shown, dict)
                    if shown.get("error") or shown["outside"]:
                        failures.append(f"{base}{page} at {width} px: the column {header!r} is not in view: {shown}")
                    else:
                        print(f"  {page} at {width} px: column {header!r} in view, {shown['cells']} cells")
                broken = browser.evaluate(f"{BROKEN_NAMES}('article td code, article th code')")
                if broken:
                    failures.append(f"{base}{page} at {width} px: code broken inside a name: {broken}")
            if width == PHONE:
                for page in NARROW_REFERENCE:
                    failures += [f"{base}{page} at {width} px: {p}" for p in browser.load(base + page)]
                    shown = browser.evaluate(REFERENCE_FITS)
                    assert isinstance(shown, dict)
                    if shown["outside"] or shown["overflowing"] or not shown["cells"]:
                        failures.append(f"{base}{page} at {width} px: cut off: {shown}")
                    else:
                        print(f"  {page} at {width} px: {shown['cells']} table cells and "
                              f"{shown['signatures']} signatures in view")
                    broken = browser.evaluate(f"{BROKEN_NAMES}('.doc-contents td code')")
                    if broken:
                        failures.append(f"{base}{page} at {width} px: code broken inside a name: {broken}")
    finally:
        browser.send("Emulation.clearDeviceMetricsOverride")
    return failures


def check_search(browser: Chromium, base: str) -> list[str]:
    failures = [f"{base}index.html: {p}" for p in browser.load(base + "index.html")]
    browser.evaluate("document.querySelector('label.md-search__icon, label[for=__search]').click()")
    browser.wait_for("document.activeElement && document.activeElement.matches('input.md-search__input')"
                     " || (document.querySelector('input.md-search__input').focus(), false)", "the search box")
    for key in QUERY:
        browser.send("Input.dispatchKeyEvent", {"type": "keyDown", "key": key, "text": key})
        browser.send("Input.dispatchKeyEvent", {"type": "keyUp", "key": key})
    try:
        count = browser.wait_for("document.querySelectorAll('.md-search-result__item').length",
                                 f"search results for {QUERY!r}")
        first = browser.evaluate("document.querySelector('.md-search-result__item').innerText.split('\\n')[0]")
        print(f"  search {QUERY!r} at {base}: {count} results, the first: {first}")
    except BrowserError as error:
        meta = browser.evaluate("(document.querySelector('.md-search-result__meta') || {}).innerText")
        failures.append(f"{base}: {error} (the search says: {meta})")
    failures += [f"{base} search: {p}" for p in browser.problems()]
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("site", type=Path, help="the built site (mkdocs build --site-dir)")
    parser.add_argument("--screenshot", type=Path, help="also save the reference page as this PNG")
    args = parser.parse_args()
    site = args.site.resolve()
    executable = shutil.which("chromium") or shutil.which("chromium-browser") or shutil.which("google-chrome")
    if executable is None:
        print("no Chromium on this machine", file=sys.stderr)
        return 2
    failures = []
    with tempfile.TemporaryDirectory() as profile:
        browser = Chromium(executable, profile)
        try:
            browser.open_tab()
            with served(site) as base:
                for where in (base, site.as_uri() + "/"):
                    print(f"pages at {where}")
                    for check in (check_pages, check_search, check_layout):
                        try:
                            failures += check(browser, where)
                        except BrowserError as error:
                            failures.append(f"{where}: {error}; seen so far: {browser.problems()}")
                if args.screenshot:
                    browser.load(base + REFERENCE)
                    browser.screenshot(args.screenshot)
        finally:
            browser.close()
    for failure in failures:
        print("FAIL", failure, file=sys.stderr)
    if not failures:
        print("the site loads, shows its reference, finds what is searched and fits a phone, served and from files")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
