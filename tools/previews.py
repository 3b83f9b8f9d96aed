"""Regenerate docs/previews: screenshots and a gallery of the built-in templates.

    make previews            # or: PYTHONPATH=src python3.14 tools/previews.py [OUT_DIR]

Each built-in template is rendered with the preview command's sample
variables to NAME.html and NAME.txt, photographed at 600 and 375 px in the
light and the dark scheme (the PNGs recompressed so the repository keeps
them small), and shown beside its text version in index.html.  The page
around the templates' sections is docs/previews/index.html's own: edit its
head and introduction there, and the next run keeps them.  Needs Chromium.
"""

import html
import os
import struct
import sys
import zlib
from collections.abc import Sequence

from corvenda import preview
from corvenda.preview import _chromium

GALLERY = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs", "previews", "index.html")


def main(out: str) -> int:
    try:
        with _chromium.Browser() as browser:
            for name in preview.BUILTINS:
                html_path, _ = preview.render(name, preview.SAMPLES[name], out)
                for path in preview.screenshots(html_path, out, browser):
                    recompress_png(path)
    except _chromium.BrowserError as error:
        print(f"previews: {error}", file=sys.stderr)
        return 1
    print(write_gallery(out, preview.BUILTINS))
    return 0


def write_gallery(out: str, names: Sequence[str], frame: str = GALLERY) -> str:
    """Write ``out``/index.html showing each template's PNGs beside its text.

    The page is ``frame``'s (a gallery page written before) with its
    sections, from the first ``<section`` to the last ``</section>``,
    replaced by those of ``names``.
    """
    with open(frame, encoding="utf-8") as file:
        page = file.read()
    start, end = page.find("<section"), page.rfind("</section>")
    if start < 0 or end < start:
        raise ValueError(f"{frame} has no <section> to replace")
    sections = []
    for name in names:
        with open(os.path.join(out, f"{name}.txt"), encoding="utf-8") as file:
            text = file.read()
        sections.append(
            f'<section id="{name}">\n<h2>{name} (<a href="{name}.html">HTML</a>, '
            f'<a href="{name}.txt">text</a>)</h2>\n<div class="row">\n{_figures(name, "light")}\n'
            f"<figure><pre>{html.escape(text)}</pre><figcaption>Text version</figcaption></figure>\n"
            f'</div>\n<div class="row">\n{_figures(name, "dark")}\n</div>\n</section>')
    path = os.path.join(out, "index.html")
    with open(path, "w", encoding="utf-8") as file:
        file.write(page[:start] + "\n".join(sections) + page[end + len("</section>"):])
    return path


def _figures(name: str, scheme: str) -> str:
    """The gallery's two screenshots of ``name`` in ``scheme``."""
    return "\n".join(
        f'<figure><img src="{name}-{width}-{scheme}.png" width="{width}" alt="{name}, {width} px, {scheme}">'
        f"<figcaption>{width} px, {scheme}</figcaption></figure>" for width in (600, 375))


def recompress_png(path: str) -> None:
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


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "docs/previews"))
