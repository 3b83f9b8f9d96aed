"""Regenerate docs/previews: screenshots and a gallery of the built-in templates.

    make previews            # or: PYTHONPATH=src python3.14 tools/previews.py [OUT_DIR]

Each built-in template is rendered with the preview command's sample
variables to NAME.html and NAME.txt, photographed at 600 and 375 px in the
light and the dark scheme, and shown beside its text version in index.html.
Needs Chromium.
"""

import sys

from corvenda import _chromium, _preview


def main(out: str) -> int:
    try:
        with _chromium.Browser() as browser:
            for name in _preview.BUILTINS:
                html_path, _ = _preview.render(name, _preview.SAMPLES[name], out)
                _preview.screenshots(html_path, out, browser)
    except _chromium.BrowserError as error:
        print(f"previews: {error}", file=sys.stderr)
        return 1
    print(_preview.write_gallery(out, _preview.BUILTINS))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "docs/previews"))
