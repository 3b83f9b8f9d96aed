"""Which failures of a send are worth another attempt, and when to make it.

:func:`classify` looks at the exception a send raised and answers with a
:class:`Verdict`: retry it (the same message may well go through later) or
give up at once (it would fail the same way again), with a one-line reason
for the report::

    >>> classify(smtplib.SMTPRecipientsRefused({"ann@example.org": (451, b"try later")}))
    Verdict(retry=True, reason='recipient refused: ann@example.org 451 try later')

Transient: connection refused, reset or dropped, timeouts (a silent server,
a stalled TLS handshake), ``SMTPServerDisconnected``, a TLS session cut off
mid-way, a temporary DNS failure, and every SMTP reply in the 4xx range,
including all recipients refused when every code is 4xx.

A 2xx or 3xx reply carried by an exception means client and server lost
step (smtplib read a stale reply, say after an interrupted command): the
message may or may not have gone through, so that is transient too, never
a verdict on the message.

Permanent: 5xx replies (a rejected login is 535), certificate errors, other
TLS protocol errors (such as implicit TLS against a plain port), the
server lacking a needed extension, and everything raised before the
connection: template and argument errors, a missing attachment file.
An exception this module does not know is permanent too: retrying what is
not understood only delays the report.

A task raises :class:`TemporaryFailure` for a failure worth another
attempt; Celery retries it (the tasks' ``autoretry_for``) after a wait that
:func:`task_options` sets from the settings: exponential, with jitter so
that the messages of one failed burst do not all come back at the same
moment.
"""

from __future__ import annotations

import errno
import smtplib
import socket
import ssl
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from mailqueue.config import Settings

__all__ = ["TemporaryFailure", "Verdict", "classify", "task_options"]

# OS errors of a network path that may come back (ECONNREFUSED and friends
# arrive as ConnectionError subclasses and are handled by type).
_TRANSIENT_ERRNOS = frozenset({
    errno.ENETUNREACH, errno.EHOSTUNREACH, errno.ENETDOWN, errno.EHOSTDOWN,
    errno.ETIMEDOUT, errno.ECONNABORTED,
})

# TLS errors that mean "the connection went away", not "we disagree".
_TLS_CUT_OFF = (ssl.SSLEOFError, ssl.SSLZeroReturnError, ssl.SSLSyscallError)


class TemporaryFailure(Exception):
    """A send that failed in a way that may pass; the text is the reason.

    The tasks retry it (Celery's ``autoretry_for``); the failure it stands
    for is its ``__cause__``.
    """


@dataclass(frozen=True)
class Verdict:
    """Whether to retry a failed send, and why it failed."""

    retry: bool
    reason: str


def classify(error: BaseException) -> Verdict:
    """Decide whether the send that raised ``error`` should be retried."""
    if isinstance(error, smtplib.SMTPRecipientsRefused):
        refused = error.recipients
        detail = "; ".join(f"{rcpt} {code} {_text(text)}" for rcpt, (code, text) in refused.items())
        every_one_temporary = bool(refused) and all(_temporary(code) for code, _ in refused.values())
        return Verdict(every_one_temporary, f"recipient refused: {detail}")
    if isinstance(error, smtplib.SMTPResponseException):
        # Sender refused, DATA refused, login refused, greeting refused,
        # STARTTLS refused, or an error answer to QUIT.
        reason = f"{_stage(error)} {error.smtp_code} {_text(error.smtp_error)}"
        if error.smtp_code < 400:
            return Verdict(True, f"unexpected reply, {reason}")
        return Verdict(_temporary(error.smtp_code), reason)
    if isinstance(error, smtplib.SMTPServerDisconnected):
        return Verdict(True, f"connection lost: {error}")
    if isinstance(error, smtplib.SMTPException):
        # No common login mechanism, STARTTLS not offered, ...
        return Verdict(False, f"SMTP: {error}")
    if isinstance(error, ssl.SSLCertVerificationError):
        return Verdict(False, f"certificate rejected: {error.verify_message or error}")
    if isinstance(error, _TLS_CUT_OFF):
        return Verdict(True, f"TLS connection cut off: {error}")
    if isinstance(error, ssl.SSLError):
        return Verdict(False, f"TLS error: {error}")
    if isinstance(error, TimeoutError):
        return Verdict(True, f"timed out: {str(error) or 'no answer'}")
    if isinstance(error, ConnectionError):
        return Verdict(True, f"{type(error).__name__}: {error}")
    if isinstance(error, socket.gaierror):
        return Verdict(error.errno == socket.EAI_AGAIN, f"host name lookup failed: {error}")
    if isinstance(error, OSError) and error.errno in _TRANSIENT_ERRNOS:
        return Verdict(True, f"network unreachable: {error}")
    return Verdict(False, f"{type(error).__name__}: {error}")


def task_options(settings: Settings) -> dict[str, Any]:
    """Celery's retry options of the mail tasks, from ``settings``.

    A :class:`TemporaryFailure` is retried up to MAIL_MAX_RETRIES times.
    Before retry ``n`` (counted from 0) Celery waits a whole number of
    seconds drawn between 0 and the ceiling ``MAIL_BACKOFF_BASE * 2**n``,
    capped at MAIL_BACKOFF_MAX; it takes the base and the cap in whole
    seconds, the base at least 1.
    """
    return {
        "autoretry_for": (TemporaryFailure,),
        "retry_backoff": settings.backoff_base,
        "retry_backoff_max": settings.backoff_max,
        "retry_jitter": True,
        "max_retries": settings.max_retries,
    }


def _temporary(code: int) -> bool:
    return 400 <= code < 500


def _stage(error: smtplib.SMTPResponseException) -> str:
    stages: list[tuple[type[smtplib.SMTPResponseException], str]] = [
        (smtplib.SMTPAuthenticationError, "login refused"),
        (smtplib.SMTPSenderRefused, "sender refused"),
        (smtplib.SMTPDataError, "message refused"),
        (smtplib.SMTPConnectError, "greeting refused"),
        (smtplib.SMTPHeloError, "EHLO refused"),
    ]
    for kind, stage in stages:
        if isinstance(error, kind):
            return stage
    return "server replied"


def _text(raw: bytes | str) -> str:
    text = raw.decode("utf-8", "replace") if isinstance(raw, bytes) else str(raw)
    return " ".join(text.split())
