"""Preview a mail template without sending it: its files and screenshots.

The command line is ``python -m corvenda.template preview NAME [options]``
(corvenda.preview.__main__)::

    python -m corvenda.template preview verification_code --out /tmp/p --png

render() writes NAME.html and NAME.txt, rendered by corvenda.template with
the given variables (the built-in templates have SAMPLES of their own); as
the mailer does, it adds ``occurred_at`` when the variables lack it.
screenshots() takes the SHOTS of the HTML through headless Chromium at 600
and 375 pixels wide, in the light and the dark scheme: NAME-600-light.png,
NAME-600-dark.png, NAME-375-light.png and NAME-375-dark.png.

Imports run one way: this package uses corvenda.template, never the reverse.
"""

from __future__ import annotations

import datetime
import os
import pathlib
from collections.abc import Mapping
from typing import Any

from corvenda.preview import _chromium
from corvenda.template import TemplateEngine

__all__ = ["BUILTINS", "SAMPLES", "SHOTS", "render", "screenshots"]

BUILTINS = ("notification", "verification_code", "password_reset")

# Variables used when no --context is given, as an application would pass them.
_LAYOUT = {
    "recipient_name": "Ann",
    "product_name": "Acme Cloud Build",
    "footer": "Acme Ltd, 1 Main Street, Springfield",
    "occurred_at": "2026-03-04 05:06:07",
}
SAMPLES: dict[str, dict[str, Any]] = {
    "notification": _LAYOUT | {
        "title": "Build #742 is ready",
        "message": "All 12 jobs passed in 4 minutes 12 seconds.\n\n"
                   "The artefacts are kept for 30 days; the full log is at "
                   "https://ci.example.com/builds/742/logs/complete-output.txt",
        "action_url": "https://ci.example.com/builds/742",
        "action_text": "Open build",
    },
    "verification_code": _LAYOUT | {"code": "482913", "expires_minutes": 10},
    "password_reset": _LAYOUT | {
        "reset_url": "https://accounts.example.com/reset?token=4f9c2e7a1b",
        "expires_minutes": 30,
    },
}

# (width in CSS pixels, dark scheme) of each screenshot.
SHOTS = ((600, False), (600, True), (375, False), (375, True))


def render(name: str, variables: Mapping[str, Any], out: str,
           template_dir: str | None = None) -> list[str]:
    """Render NAME.html and NAME.txt into ``out``; return the paths written."""
    engine = TemplateEngine(template_dir)
    variables = dict(variables)
    variables.setdefault("occurred_at", datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"))
    os.makedirs(out, exist_ok=True)
    paths = []
    for ext in ("html", "txt"):
        text = engine.render(f"{name}.{ext}", variables)
        path = os.path.join(out, f"{name}.{ext}")
        with open(path, "w", encoding="utf-8") as file:
            file.write(text if text.endswith("\n") else text + "\n")
        paths.append(path)
    return paths


def screenshots(html_path: str, out: str, browser: _chromium.Browser | None = None) -> list[str]:
    """Take the SHOTS of ``html_path`` into ``out``; return the PNG paths.

    Raises corvenda.preview._chromium.ChromiumNotFound when Chromium is missing.
    """
    if browser is None:
        with _chromium.Browser() as own:
            return screenshots(html_path, out, own)
    stem = os.path.splitext(os.path.basename(html_path))[0]
    paths = []
    for width, dark in SHOTS:
        page = browser.open(pathlib.Path(html_path), width=width, height=100, dark=dark, mobile=width < 600)
        try:
            path = os.path.join(out, f"{stem}-{width}-{'dark' if dark else 'light'}.png")
            page.screenshot(path)
        finally:
            page.close()
        paths.append(path)
    return paths
