"""Attachments of queued mail: file names inside one folder, read safely.

Whoever can enqueue a task chooses its arguments, so an attachment path is
untrusted: ``/proc/self/environ`` would mail the worker's environment, SMTP
password included.  :func:`load` accepts a path only when it resolves
(symbolic links followed) to a regular file inside ``MAIL_ATTACHMENT_DIR``,
opens it without following a link in its last component, checks the file
it opened once more, and hands the mailer the bytes rather than the path,
so nothing can be swapped in between::

    >>> load("invoices/q3.pdf", "/srv/mail-attachments")
    {'filename': 'q3.pdf', 'data': b'%PDF-1.7 ...'}
"""

from __future__ import annotations

import os
import stat
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvenda.mailer import AttachmentRecord

__all__ = ["AttachmentRefused", "MAX_BYTES", "load", "load_all"]

#: Largest attachment read, in bytes (providers refuse far smaller messages).
MAX_BYTES = 50 * 1024 * 1024


class AttachmentRefused(ValueError):
    """An attachment the worker will not read; the text says why."""


def _inside(root: str, path: str) -> bool:
    return path != root and os.path.commonpath([root, path]) == root


def load(item: Any, directory: str) -> AttachmentRecord:
    """The attachment record (file name and bytes) for ``item``, a path inside ``directory``.

    A relative ``item`` is taken relative to ``directory``.  Raises
    :class:`AttachmentRefused` for anything else: no folder configured,
    not a string, outside the folder (also through a symbolic link), not a
    regular file, too large.
    """
    if not directory:
        raise AttachmentRefused("attachments are turned off: MAIL_ATTACHMENT_DIR is not set")
    if not isinstance(item, str):
        raise AttachmentRefused(
            f"an attachment is a file name inside MAIL_ATTACHMENT_DIR, not {type(item).__name__}")
    root = os.path.realpath(directory)
    path = os.path.realpath(os.path.join(root, item))
    if "\0" in item or not _inside(root, path):
        raise AttachmentRefused(f"{item!r} is not inside MAIL_ATTACHMENT_DIR")
    flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY
    try:
        fd = os.open(path, flags)
    except OSError as error:
        raise AttachmentRefused(f"{item!r}: {error.strerror}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise AttachmentRefused(f"{item!r} is not a regular file")
        try:
            opened = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            opened = path  # no /proc: the checks above stand alone
        if not _inside(root, opened):  # a folder on the way was swapped for a link
            raise AttachmentRefused(f"{item!r} is not inside MAIL_ATTACHMENT_DIR")
        if info.st_size > MAX_BYTES:
            raise AttachmentRefused(f"{item!r} is larger than {MAX_BYTES} bytes")
        with os.fdopen(fd, "rb", closefd=False) as file:
            data = file.read(MAX_BYTES + 1)
    finally:
        os.close(fd)
    if len(data) > MAX_BYTES:
        raise AttachmentRefused(f"{item!r} is larger than {MAX_BYTES} bytes")
    return {"filename": os.path.basename(item), "data": data}


def load_all(items: Any, directory: str) -> list[str | AttachmentRecord] | None:
    """:func:`load` for each item of a task's ``attachments`` argument (None: none)."""
    if items is None:
        return None
    if not isinstance(items, list):
        raise AttachmentRefused(f"attachments must be a list of file names, not {type(items).__name__}")
    return [load(item, directory) for item in items]
