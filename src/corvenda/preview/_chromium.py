"""A small headless-Chromium driver for looking at rendered mail.

Private to corvenda: template previews take screenshots with it and the
tests measure pages with it.  It speaks the DevTools protocol over
``--remote-debugging-pipe`` (JSON messages ended by a NUL byte, commands on
the browser's fd 3 and replies on its fd 4), so it needs no library beyond
the standard one::

    with Browser() as browser:
        page = browser.open("<p>Hello</p>", width=375, dark=True)
        width = page.evaluate("document.documentElement.scrollWidth")
        page.screenshot("hello.png")

Every wait is bounded by ``timeout`` seconds and raises BrowserError when it
runs out; the browser process and its temporary profile are removed when
the Browser is closed, whatever happened before.
"""

from __future__ import annotations

import base64
import fcntl
import json
import os
import pathlib
import select
import shutil
import signal
import tempfile
import time
from types import TracebackType
from typing import Any, Self

from corvenda._process import child_environ, wait_until

__all__ = ["Browser", "BrowserError", "ChromiumNotFound", "Page", "find_chromium"]

# Executable names tried in order, after the CORVENDA_CHROMIUM variable.
_NAMES = ("chromium", "chromium-browser", "chrome", "headless_shell")

_FLAGS = (
    "--headless",
    "--remote-debugging-pipe",
    "--disable-gpu",
    "--disable-dev-shm-usage",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-extensions",
    "--disable-sync",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-breakpad",
    "--disable-domain-reliability",
    "--no-pings",
    "--mute-audio",
    "--hide-scrollbars",
    "--force-color-profile=srgb",
    # Pages are local files: refuse every name lookup so nothing leaves the host.
    "--host-resolver-rules=MAP * ~NOTFOUND",
    "about:blank",
)


class BrowserError(RuntimeError):
    """Chromium failed, answered with an error or did not answer in time."""


class ChromiumNotFound(BrowserError):
    """No Chromium executable was found."""


def find_chromium() -> str | None:
    """Return the path of the Chromium executable to use, or None.

    The environment variable CORVENDA_CHROMIUM names it explicitly;
    otherwise the first of chromium, chromium-browser, chrome and
    headless_shell found on PATH is used.
    """
    explicit = os.environ.get("CORVENDA_CHROMIUM")
    if explicit:
        return shutil.which(explicit)
    for name in _NAMES:
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    """One headless Chromium process with a temporary profile.

    ``executable`` defaults to find_chromium(); ChromiumNotFound is raised
    when there is none.  ``timeout`` bounds every single wait in seconds.
    Use it as a context manager or call close().
    """

    def __init__(self, executable: str | None = None, *, timeout: float = 30.0) -> None:
        path = executable or find_chromium()
        if path is None:
            raise ChromiumNotFound(
                "Chromium is not installed: install the chromium package, "
                "or set CORVENDA_CHROMIUM to the browser's executable"
            )
        self.timeout = timeout
        self._next_id = 0
        self._buffer = b""
        self._events: list[dict[str, Any]] = []
        self._profile = tempfile.mkdtemp(prefix="corvenda-chromium-")
        self._pages = 0
        cmd_read, cmd_write = os.pipe()
        reply_read, reply_write = os.pipe()
        log = os.open(os.path.join(self._profile, "output.log"), os.O_WRONLY | os.O_CREAT, 0o600)
        # The browser reads commands on fd 3 and writes replies on fd 4.
        # Sources are first moved to fd 10 and up so no dup2 below clobbers
        # another; every other descriptor of ours is close-on-exec.
        high = [_dup_high(fd) for fd in (cmd_read, reply_write, log)]
        for fd in (cmd_read, reply_write, log):
            os.close(fd)
        flags = [*_FLAGS[:-1], f"--user-data-dir={self._profile}", _FLAGS[-1]]
        if os.geteuid() == 0:
            flags.insert(0, "--no-sandbox")  # Chromium's sandbox refuses to run as root
        # A sanitizer runtime preloaded into this process (as in the project's
        # own sanitizer runs) would be loaded into the browser too and stall it.
        env = child_environ()
        try:
            # posix_spawn, unlike subprocess, can place descriptors at fixed
            # numbers without running Python code in the child.
            self._pid = os.posix_spawn(path, [path, *flags], env, setsid=True, file_actions=[
                (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                (os.POSIX_SPAWN_DUP2, high[2], 1),
                (os.POSIX_SPAWN_DUP2, high[2], 2),
                (os.POSIX_SPAWN_DUP2, high[0], 3),
                (os.POSIX_SPAWN_DUP2, high[1], 4),
            ])
        except BaseException:
            for fd in (*high, cmd_write, reply_read):
                os.close(fd)
            shutil.rmtree(self._profile, ignore_errors=True)
            raise
        for fd in high:
            os.close(fd)
        self._write_fd = cmd_write
        self._read_fd = reply_read
        self._closed = False
        try:
            self.version = str(self.send("Browser.getVersion")["product"])
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def open(self, source: str | os.PathLike[str], *, width: int = 600, height: int = 800,
             dark: bool = False, mobile: bool = False, scale: float = 1.0) -> Page:
        """Open a new page showing ``source`` and wait until it has loaded.

        A str is the page's HTML; an os.PathLike is a file to open.  The
        viewport is ``width`` × ``height`` CSS pixels at device scale
        ``scale``; ``mobile`` emulates a phone (the viewport meta tag
        counts).  ``dark`` makes prefers-color-scheme report dark.
        """
        if isinstance(source, str):
            self._pages += 1
            path = os.path.join(self._profile, f"page{self._pages}.html")
            with open(path, "w", encoding="utf-8") as file:
                file.write(source)
        else:
            path = os.path.abspath(os.fspath(source))
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, str(target), str(session))
        try:
            page.send("Page.enable")
            page.send("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": scale, "mobile": mobile})
            page.send("Emulation.setEmulatedMedia", {
                "features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
            page.navigate(pathlib.Path(path).as_uri())
        except BaseException:
            try:
                page.close()
            except BrowserError:
                pass  # the first error is the one to report
            raise
        return page

    def send(self, method: str, params: dict[str, Any] | None = None,
             session: str | None = None) -> dict[str, Any]:
        """Send one protocol command and return its result.

        Raises BrowserError when Chromium answers with an error, exits or
        does not answer within the timeout.
        """
        if self._closed:
            raise BrowserError("the browser is closed")
        self._next_id += 1
        message: dict[str, Any] = {"id": self._next_id, "method": method, "params": params or {}}
        if session is not None:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        deadline = time.monotonic() + self.timeout
        while data:
            if not select.select([], [self._write_fd], [], self._left(deadline, method))[1]:
                continue
            try:
                data = data[os.write(self._write_fd, data):]
            except BrokenPipeError:
                raise BrowserError(f"Chromium exited before {method}: {self._output_tail()}") from None
        while True:
            reply = self._receive(deadline, method)
            if reply.get("id") == message["id"]:
                if "error" in reply:
                    error = reply["error"]
                    raise BrowserError(f"{method}: {error.get('message')} {error.get('data', '')}".rstrip())
                result: dict[str, Any] = reply.get("result", {})
                return result
            if "method" in reply:
                self._events.append(reply)

    def wait_event(self, method: str, session: str | None = None) -> dict[str, Any]:
        """Wait for the next event named ``method`` and return its params."""
        deadline = time.monotonic() + self.timeout
        while True:
            for index, event in enumerate(self._events):
                if event["method"] == method and event.get("sessionId") == session:
                    del self._events[index]
                    params: dict[str, Any] = event.get("params", {})
                    return params
            reply = self._receive(deadline, method)
            if "method" in reply:
                self._events.append(reply)

    def close(self) -> None:
        """Stop the browser (politely, then by force) and remove its profile."""
        if getattr(self, "_closed", True):
            return
        self._closed = True
        try:
            os.write(self._write_fd, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
        except OSError:
            pass
        try:
            if not self._reap(5.0):
                # The browser leads its own session: stop its helpers too.
                try:
                    os.killpg(self._pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self._reap(5.0)
        finally:
            for fd in (self._write_fd, self._read_fd):
                os.close(fd)
            shutil.rmtree(self._profile, ignore_errors=True)

    def _reap(self, seconds: float) -> bool:
        """Wait up to ``seconds`` for the browser to exit; True once it has."""
        def exited() -> bool:
            try:
                return os.waitpid(self._pid, os.WNOHANG) != (0, 0)
            except ChildProcessError:  # already reaped
                return True

        return wait_until(exited, seconds, interval=0.02)

    def _left(self, deadline: float, what: str) -> float:
        left = deadline - time.monotonic()
        if left <= 0:
            raise BrowserError(f"Chromium did not answer {what} within {self.timeout:g} s")
        return left

    def _receive(self, deadline: float, what: str) -> dict[str, Any]:
        while b"\0" not in self._buffer:
            if not select.select([self._read_fd], [], [], self._left(deadline, what))[0]:
                continue
            chunk = os.read(self._read_fd, 1 << 20)
            if not chunk:
                raise BrowserError(f"Chromium exited during {what}: {self._output_tail()}")
            self._buffer += chunk
        data, _, self._buffer = self._buffer.partition(b"\0")
        message: dict[str, Any] = json.loads(data)
        return message

    def _output_tail(self) -> str:
        with open(os.path.join(self._profile, "output.log"), "rb") as file:
            lines = file.read().decode(errors="replace").strip().splitlines()
        return " | ".join(lines[-5:]) or "(no output)"


class Page:
    """One browser tab, made by Browser.open()."""

    def __init__(self, browser: Browser, target: str, session: str) -> None:
        self._browser = browser
        self._target = target
        self._session = session

    def send(self, method: str, params: dict[str, Any] | None = None) -> dict[str, Any]:
        """Send a protocol command to this page and return its result."""
        return self._browser.send(method, params, self._session)

    def navigate(self, url: str) -> None:
        """Load ``url`` and wait for its load event."""
        result = self.send("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise BrowserError(f"cannot open {url}: {result['errorText']}")
        self._browser.wait_event("Page.loadEventFired", self._session)

    def evaluate(self, expression: str) -> Any:
        """Evaluate JavaScript in the page and return its value as JSON data.

        A promise is awaited.  A thrown exception raises BrowserError with
        its description.
        """
        result = self.send("Runtime.evaluate", {
            "expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise BrowserError(f"JavaScript error: {text}")
        return result["result"].get("value")

    def screenshot(self, path: str | os.PathLike[str], *, full_page: bool = True) -> tuple[int, int]:
        """Save a PNG of the page to ``path`` and return its size in CSS pixels.

        With ``full_page`` the whole document is taken, else the viewport.
        """
        params: dict[str, Any] = {"format": "png"}
        if full_page:
            metrics = self.send("Page.getLayoutMetrics")["cssContentSize"]
            width, height = int(metrics["width"]), int(metrics["height"])
            params |= {"captureBeyondViewport": True,
                       "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}}
        else:
            viewport = self.send("Page.getLayoutMetrics")["cssLayoutViewport"]
            width, height = int(viewport["clientWidth"]), int(viewport["clientHeight"])
        data = base64.b64decode(self.send("Page.captureScreenshot", params)["data"])
        with open(path, "wb") as file:
            file.write(data)
        return width, height

    def close(self) -> None:
        """Close the tab and forget its pending events."""
        self._browser.send("Target.closeTarget", {"targetId": self._target})
        mine = {self._session, self._target}
        self._browser._events = [
            event for event in self._browser._events
            if event.get("sessionId") not in mine
            and not any(value in mine for value in event.get("params", {}).values() if isinstance(value, str))]


def _dup_high(fd: int) -> int:
    """Duplicate ``fd`` to a number of at least 10, close-on-exec."""
    return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
