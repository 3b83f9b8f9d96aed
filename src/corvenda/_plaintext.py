"""Line wrapping for the plain-text part of a mail.

Templates use it as the ``wraptext`` filter::

    {% filter wraptext %}{{ message }}{% endfilter %}

Each line is wrapped on its own at 72 columns.  A URL never breaks: it
goes on a line of its own, so a reader's mail program can open it whole.
Other words longer than a line are not broken either (splitting a token or
a code would change what a reader copies).  Lines that start with a blank
are kept as they are, so indented text such as a code stays put.
"""

import re
import textwrap

__all__ = ["WIDTH", "wrap_text"]

WIDTH = 72

_URL = re.compile(r"(?:[a-z][a-z0-9+.-]*://|www\.|mailto:)\S+", re.IGNORECASE)


def wrap_text(text: object, width: int = WIDTH) -> str:
    """Return ``text`` (made a str) with every line wrapped at ``width`` columns."""
    lines: list[str] = []
    for line in str(text).split("\n"):
        if line[:1].isspace() or (len(line) <= width and not _URL.search(line.strip())) \
                or _URL.fullmatch(line.strip()):
            lines.append(line)
            continue
        words: list[str] = []
        for word in line.split():
            if _URL.search(word):
                lines.extend(_fill(words, width))
                lines.append(word)
                words = []
            else:
                words.append(word)
        lines.extend(_fill(words, width))
    return "\n".join(lines)


def _fill(words: list[str], width: int) -> list[str]:
    if not words:
        return []
    return textwrap.wrap(" ".join(words), width, break_long_words=False, break_on_hyphens=False)
