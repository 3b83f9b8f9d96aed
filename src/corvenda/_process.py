"""Child processes and bounded waits, shared inside corvenda and its tools.

``child_environ()`` is the environment for a process this one starts (a
browser, a spam filter, a Redis server or a Celery worker): this process's,
without the variables that load the address sanitizer's runtime into the
child.  ``wait_until()`` polls a condition until it holds or a deadline
passes, so that no loop waits without bound.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable

__all__ = ["SANITIZER_VARIABLES", "child_environ", "wait_until"]

SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def child_environ(**extra: str) -> dict[str, str]:
    """``os.environ`` without the sanitizer variables, updated with ``extra``."""
    environ = {key: value for key, value in os.environ.items() if key not in SANITIZER_VARIABLES}
    environ.update(extra)
    return environ


def wait_until(condition: Callable[[], object], timeout: float, *, interval: float = 0.05) -> bool:
    """Poll ``condition()`` every ``interval`` seconds; whether it held within ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True
