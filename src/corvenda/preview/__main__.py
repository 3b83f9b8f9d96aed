"""The preview command: ``python -m corvenda.template preview NAME [options]``.

``python -m corvenda.template`` hands over to this module (so does
``python -m corvenda.preview``).  It renders NAME.html and NAME.txt into the
output directory (default: the current one) with the variables of a JSON
file given by ``--context``, or with the sample variables of the built-in
templates; with ``--png`` it also takes the screenshots of
corvenda.preview.screenshots().
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence

import jinja2

import corvenda
from corvenda.preview import SAMPLES, _chromium, render, screenshots

__all__ = ["main"]


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


if __name__ == "__main__":
    sys.exit(main())
