"""Preview a mail template without sending it.

Run as ``python -m corvenda.template preview NAME [options]``::

    python -m corvenda.template preview verification_code --out /tmp/p --png

It renders NAME.html and NAME.txt into the output directory (default: the
current one) with the variables of a JSON file given by ``--context``, or
with sample variables of its own for the built-in templates.  As the mailer
does, it adds ``occurred_at`` when the variables lack it.  With ``--png`` it
also takes screenshots of the HTML through headless Chromium at 600 and
375 pixels wide, in the light and the dark scheme: NAME-600-light.png,
NAME-600-dark.png, NAME-375-light.png and NAME-375-dark.png.
"""

from __future__ import annotations

import argparse
import datetime
import html
import json
import os
import pathlib
import struct
import sys
import zlib
from collections.abc import Mapping, Sequence
from typing import Any

import jinja2

import corvenda
from corvenda import _chromium
from corvenda.template import TemplateEngine

__all__ = ["BUILTINS", "SAMPLES", "SHOTS", "main", "render", "screenshots", "write_gallery"]

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

    Raises corvenda._chromium.ChromiumNotFound when Chromium is missing.
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
        _recompress_png(path)
        paths.append(path)
    return paths


def write_gallery(out: str, names: Sequence[str]) -> str:
    """Write ``out``/index.html showing each template's PNGs beside its text."""
    sections = []
    for name in names:
        with open(os.path.join(out, f"{name}.txt"), encoding="utf-8") as file:
            text = file.read()
        sections.append(
            f'<section id="{name}">\n<h2>{name} (<a href="{name}.html">HTML</a>, '
            f'<a href="{name}.txt">text</a>)</h2>\n<div class="row">\n{_figures(name, "light")}\n'
            f"<figure><pre>{html.escape(text)}</pre><figcaption>Text version</figcaption></figure>\n"
            f'</div>\n<div class="row">\n{_figures(name, "dark")}\n</div>\n</section>')
    page = _GALLERY.replace("{sections}", "\n".join(sections))
    path = os.path.join(out, "index.html")
    with open(path, "w", encoding="utf-8") as file:
        file.write(page)
    return path


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    parser = argparse.ArgumentParser(
        prog="python -m corvenda.template",
        description="Render a mail template to files without sending it.")
    parser.add_argument("--version", action="version", version=f"corvenda {corvenda.__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    preview = commands.add_parser("preview", help="render NAME.html and NAME.txt (and screenshots)")
    preview.add_argument("name", metavar="NAME", help="template name without .html or .txt")
    preview.add_argument("--context", metavar="FILE.json",
                         help="JSON object of template variables (default: samples of the built-in templates)")
    preview.add_argument("--template-dir", metavar="DIR", help="directory searched before the built-in templates")
    preview.add_argument("--out", metavar="DIR", default=".", help="output directory (default: current directory)")
    preview.add_argument("--png", action="store_true",
                         help="also take screenshots at 600 and 375 px, light and dark, with headless Chromium")
    args = parser.parse_args(argv)

    if args.context is not None:
        try:
            with open(args.context, encoding="utf-8") as file:
                variables = json.load(file)
        except (OSError, ValueError) as error:
            parser.exit(2, f"{parser.prog}: cannot read {args.context}: {error}\n")
        if not isinstance(variables, dict):
            parser.exit(2, f"{parser.prog}: {args.context} must hold a JSON object\n")
    else:
        variables = SAMPLES.get(args.name, {})
    try:
        paths = render(args.name, variables, args.out, args.template_dir)
    except jinja2.UndefinedError as error:
        parser.exit(1, f"{parser.prog}: {args.name}: {error.message}; pass the variables with --context FILE.json\n")
    except (OSError, jinja2.TemplateError) as error:
        parser.exit(1, f"{parser.prog}: {args.name}: {type(error).__name__}: {error}\n")
    if args.png:
        try:
            paths += screenshots(paths[0], args.out)
        except _chromium.BrowserError as error:
            print("\n".join(paths))
            parser.exit(1, f"{parser.prog}: no screenshots: {error}\n")
    print("\n".join(paths))
    return 0


def _figures(name: str, scheme: str) -> str:
    """The gallery's two screenshots of ``name`` in ``scheme``."""
    return "\n".join(
        f'<figure><img src="{name}-{width}-{scheme}.png" width="{width}" alt="{name}, {width} px, {scheme}">'
        f"<figcaption>{width} px, {scheme}</figcaption></figure>" for width in (600, 375))


def _recompress_png(path: str) -> None:
    """Rewrite the PNG at ``path`` with its image data compressed at level 9."""
    with open(path, "rb") as file:
        data = file.read()
    chunks, pos, idat = [], 8, b""
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IDAT":
            idat += body
        else:
            chunks.append((kind, body))
    packed = zlib.compress(zlib.decompress(idat), 9)
    out = [data[:8]]
    for kind, body in chunks:
        if kind == b"IEND":
            out.append(_chunk(b"IDAT", packed))
        out.append(_chunk(kind, body))
    with open(path, "wb") as file:
        file.write(b"".join(out))


def _chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


_GALLERY = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Built-in mail templates</title>
<style>
body { margin: 24px; font-family: system-ui, sans-serif; color: #1f2937; background: #fff; }
.row { display: flex; flex-wrap: wrap; gap: 24px; align-items: flex-start; margin-bottom: 24px; }
figure { margin: 0; }
figcaption { font-size: 14px; color: #4b5563; margin-top: 4px; }
img { border: 1px solid #d1d5db; max-width: 100%; height: auto; }
pre { margin: 0; padding: 12px; border: 1px solid #d1d5db; background: #f9fafb; font-size: 13px; }
</style>
</head>
<body>
<h1>Built-in mail templates</h1>
<p>Made by <code>make previews</code> with the sample variables of
<code>python -m corvenda.template preview NAME --png</code>: each template at
600 and 375 px wide in the light and the dark scheme, and its text version.</p>
{sections}
</body>
</html>
"""
