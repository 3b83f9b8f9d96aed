"""DevServerProcess: the development server in a child process, for tests that run it as a user would."""

from __future__ import annotations

import queue
import re
import signal
import subprocess
import sys
import threading
import time
import weakref
from collections.abc import Callable
from typing import IO, Any, Self

__all__ = ["DevServerProcess"]

# The banner's last line: the server listens once it is printed.
READY = "Press Ctrl-C"


class DevServerProcess:
    """``python -m corvenda.testing OPTION...`` in a child process, usable with ``with``.

    Entering starts it (on ``--port 0`` unless the options name a port) and
    waits, at most ``start_timeout`` seconds, until its banner says it
    listens; then ``port``, ``banner`` and, in the TLS modes, ``ca_file``
    are set.  A child that ends first, or is not ready in time, raises
    RuntimeError with what it printed.  Leaving sends SIGINT, as Ctrl-C
    would, waits at most ``stop_timeout`` seconds and kills it after that;
    ``returncode`` is then its exit status.  A child never stopped is killed
    when the object goes away or the interpreter exits.

    wait_for(marker) returns the standard output printed since the last
    call, up to and including the first line that contains ``marker``.
    ``errors`` collects the standard error lines.  ``popen`` options go to
    subprocess.Popen (``env``, ``cwd``, ``preexec_fn``...).
    """

    def __init__(self, *options: str, python: str = sys.executable, start_timeout: float = 30.0,
                 stop_timeout: float = 20.0, **popen: Any) -> None:
        # A port among the options comes later and wins.
        self.command = [python, "-m", "corvenda.testing", "--port", "0", *options]
        self.start_timeout = start_timeout
        self.stop_timeout = stop_timeout
        self._popen = popen
        self.process: subprocess.Popen[str] | None = None
        self.port = 0
        self.banner = ""
        self.ca_file: str | None = None
        self.errors: list[str] = []
        self._lines: queue.Queue[str | None] = queue.Queue()  # None: standard output ended
        self._ended = False
        self._readers: list[threading.Thread] = []

    def __repr__(self) -> str:
        return f"<DevServerProcess {' '.join(self.command[3:])} port {self.port}>"

    @property
    def returncode(self) -> int | None:
        """The exit status once the child ended, else None."""
        return None if self.process is None else self.process.poll()

    def start(self) -> Self:
        """Start the child and wait until it listens; returns self."""
        if self.process is not None:
            raise RuntimeError(f"{self!r} was started already")
        self.process = process = subprocess.Popen(self.command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                                  text=True, **self._popen)
        # Whatever happens to this object, the child does not outlive it or the interpreter.
        weakref.finalize(self, _kill, process)
        try:
            assert process.stdout is not None and process.stderr is not None
            self._readers = [self._reader(process.stdout, self._lines.put, end=True),
                             self._reader(process.stderr, self.errors.append)]
            banner = self.wait_for(READY, self.start_timeout)
            port = int(_search(r"127\.0\.0\.1:(\d+)", banner))
            found = re.search(r"^CA certificate: (\S+)$", banner, re.MULTILINE)
        except (AssertionError, EOFError) as error:
            self.stop()
            raise RuntimeError(f"the development server did not start: {error}") from None
        except BaseException:
            self.stop()
            raise
        self.banner, self.port, self.ca_file = banner, port, found.group(1) if found else None
        return self

    @staticmethod
    def _reader(stream: IO[str], put: Callable[[Any], object], *, end: bool = False) -> threading.Thread:
        def read() -> None:
            with stream:  # closed here too when nobody stops the child
                for line in stream:
                    put(line)
            if end:
                put(None)
        thread = threading.Thread(target=read, daemon=True)
        thread.start()
        return thread

    def wait_for(self, marker: str, timeout: float = 30.0) -> str:
        """Standard output since the last call, up to the first line containing ``marker``.

        Raises AssertionError after ``timeout`` seconds, and EOFError when
        the child's output ends, each with the lines seen.
        """
        seen: list[str] = []
        deadline = time.monotonic() + timeout
        while not seen or marker not in seen[-1]:
            if self._ended:
                for reader in self._readers:  # the child is ending: its standard error too
                    reader.join(timeout=5)
                raise EOFError(f"output ended before {marker!r}; output:\n{''.join(seen)}{''.join(self.errors)}")
            try:
                line = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"no {marker!r} within {timeout:g} s; output:\n"
                                     f"{''.join(seen)}{''.join(self.errors)}") from None
            if line is None:
                self._ended = True
            else:
                seen.append(line)
        return "".join(seen)

    def stop(self) -> int | None:
        """SIGINT, then kill after ``stop_timeout`` seconds; returns the exit status."""
        process = self.process
        if process is None:
            return None
        process.send_signal(signal.SIGINT)  # nothing once it ended
        try:
            process.wait(timeout=self.stop_timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for reader in self._readers:  # each closes its stream once it ends
            reader.join(timeout=10)
        return process.returncode

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def _kill(process: subprocess.Popen[str]) -> None:
    if process.poll() is None:
        process.kill()
        process.wait()


def _search(pattern: str, text: str) -> str:
    found = re.search(pattern, text)
    if found is None:
        raise AssertionError(f"the banner has no {pattern!r}:\n{text}")
    return found.group(1)
