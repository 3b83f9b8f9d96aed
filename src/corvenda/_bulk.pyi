"""Connection sequence and mail transaction behind corvenda.bulk."""

import smtplib
from email.message import Message

from corvenda.mailer import EasyMailer

def open(mailer: EasyMailer, /) -> smtplib.SMTP:
    """A client connected, secured and logged in as ``mailer`` is configured."""

def submit(
    server: smtplib.SMTP, msg: Message, sender: str, recipients: list[str], /
) -> tuple[list[str], dict[str, tuple[int, str]], int | None, str, OSError | None]:
    """One mail transaction: (accepted, refused, code, text, error).

    ``code`` is None when the connection failed after the end of the message
    was sent and before its reply; ``error`` is then that failure.
    """
