"""Line wrapping for the plain-text part of a mail.

Templates use it as the ``wraptext`` filter::

    {% filter wraptext %}{{ message }}{% endfilter %}

Each line is wrapped on its own at 72 columns.  A URL never breaks: it
goes on a line of its own, so a reader's mail program can open it whole.
Other words longer than a line are not broken either (splitting a token or
a code would change what a reader copies).  Lines that start with a blank
are kept as they are, so indented text such as a code stays put.
"""

__all__ = ["WIDTH", "wrap_text"]

WIDTH = 72


def wrap_text(text: object, width: int = WIDTH) -> str:
    """Return ``text`` (made a str) with every line wrapped at ``width`` columns."""
    lines: list[str] = []
    for line in str(text).split("\n"):
        if line[:1].isspace() or (len(line) <= width and not _has_url(line)):
            lines.append(line)
            continue
        words: list[str] = []
        for word in line.split():
            if _has_url(word):
                lines.extend(_fill(words, width))
                lines.append(word)
                words = []
            else:
                words.append(word)
        lines.extend(_fill(words, width))
    return "\n".join(lines)


def _has_url(text: str) -> bool:
    """Whether ``text`` holds something a mail program shows as a link."""
    return "://" in text or "www." in text or "mailto:" in text


def _fill(words: list[str], width: int) -> list[str]:
    """Fill lines of at most ``width`` columns with ``words``, none broken."""
    lines: list[str] = []
    line = ""
    for word in words:
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    if line:
        lines.append(line)
    return lines
