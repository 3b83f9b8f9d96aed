"""The Celery app and its two tasks, ``mail.send`` and ``mail.send_template``.

Run workers (one per machine or more; each forks ``--concurrency`` processes)::

    celery -A mailqueue.tasks worker --concurrency 4 --loglevel INFO

and enqueue from the application (see ``enqueue_batch.py``)::

    from mailqueue.tasks import send_template
    send_template.delay("ann@example.org", "Your code", "verification_code", {"code": "493021"})

Each task returns ``{"status": "sent"}`` or ``{"status": "already sent"}``
(a redelivered message whose earlier run had already handed it over), or
fails with :class:`Undeliverable`, whose message is the reason.

Delivery is at least once: a message is acknowledged to Redis only after its
task ended (``acks_late``), and a task whose process died is handed to
another (``task_reject_on_worker_lost``, and Redis's visibility timeout when
a whole worker disappears).  A "sent" mark in Redis, written right after the
server accepted the message, keeps a redelivered task from sending again;
see docs/scaling.md for the windows no mark can close.
"""

from __future__ import annotations

import logging
import socket
import time
from collections.abc import Callable
from typing import Any, Protocol

import redis
from celery import Celery
from celery.signals import worker_process_init

from corvenda.mailer import EasyMailer
from mailqueue.config import SECURITY_MODES, Settings
from mailqueue.retry import backoff, classify

__all__ = ["MailTask", "Undeliverable", "app", "send", "send_template", "settings"]

log = logging.getLogger(__name__)

settings = Settings.from_env()

app = Celery("mailqueue", broker=settings.broker_url, backend=settings.backend_url)
app.conf.update(
    task_serializer="json",
    result_serializer="json",
    accept_content=["json"],
    # Acknowledge a message when its task has ended, not when it starts, and
    # give it back to the queue when the process running it dies.
    task_acks_late=True,
    task_reject_on_worker_lost=True,
    # Each process reserves one message at a time: a dying worker takes few
    # unacknowledged messages with it, and a slow one does not hoard work.
    worker_prefetch_multiplier=1,
    # An unacknowledged message (its worker gone) is delivered again after
    # this long; it must exceed the longest retry wait, which also sits
    # unacknowledged in a worker until it is due.
    broker_transport_options={"visibility_timeout": settings.visibility_timeout},
    result_backend_transport_options={"visibility_timeout": settings.visibility_timeout},
    broker_connection_retry_on_startup=True,
    result_expires=24 * 3600,
)


class Undeliverable(Exception):
    """A message that was not sent and will not be retried; the text says why."""


class MailTask(Protocol):
    """What clients use of a registered task (Celery ships no type information)."""

    name: str

    def delay(self, *args: Any, **kwargs: Any) -> Any: ...

    def apply_async(
        self, args: Any = None, kwargs: dict[str, Any] | None = None, **options: Any
    ) -> Any: ...


class _Process:
    """Per worker process: the mailer and the Redis client for "sent" marks."""

    mailer: EasyMailer | None = None
    marks: redis.Redis | None = None


def _start_process(**_: Any) -> None:
    """Prepare a worker process, once, before it runs its first task."""
    # smtplib uses the default timeout for every connection it opens; the
    # mailer passes none of its own.  Without this a server that accepts the
    # connection and never answers would hold the process forever.
    socket.setdefaulttimeout(settings.socket_timeout)
    use_ssl, use_tls = SECURITY_MODES[settings.smtp_security]
    _Process.mailer = EasyMailer(
        settings.smtp_host,
        settings.smtp_port,
        settings.smtp_user,
        settings.smtp_password,
        use_ssl=use_ssl,
        use_tls=use_tls,
        default_sender=settings.default_sender or None,
        template_dir=settings.template_dir or None,
    )
    _Process.marks = redis.Redis.from_url(
        settings.backend_url,
        socket_timeout=settings.socket_timeout,
        socket_connect_timeout=settings.socket_timeout,
    )


worker_process_init.connect(_start_process, weak=False)


def _deliver(task: Any, submit: Callable[[EasyMailer], None]) -> dict[str, str]:
    """Run ``submit`` with this process's mailer under the retry policy."""
    if _Process.mailer is None or _Process.marks is None:
        _start_process()  # not in a pool process: --pool threads, or an eager call
    assert _Process.mailer is not None and _Process.marks is not None
    request = task.request
    mark = f"mailqueue:sent:{request.id}"
    if _Process.marks.exists(mark):
        log.warning("%s %s: sent before, not sending again", task.name, request.id)
        return {"status": "already sent"}
    try:
        submit(_Process.mailer)
    except Exception as error:
        verdict = classify(error)
        attempts = request.retries + 1
        if verdict.retry and request.retries < settings.max_retries:
            wait = backoff(request.retries, settings.backoff_base, settings.backoff_max)
            log.info("%s %s: attempt %d failed (%s); retry in %.1f s",
                     task.name, request.id, attempts, verdict.reason, wait)
            raise task.retry(exc=error, countdown=wait, max_retries=None) from error
        if verdict.retry:
            reason = f"gave up after {attempts} attempts: {verdict.reason}"
        else:
            reason = verdict.reason
        log.error("%s %s: not sent: %s", task.name, request.id, reason)
        raise Undeliverable(reason) from error
    # The server has the message.  Mark it before the task ends, so that a
    # redelivery after a crash from here on does not send it again.
    _Process.marks.set(mark, int(time.time()), ex=settings.sent_ttl)
    return {"status": "sent"}


def _send(
    task: Any,
    to: str | list[str],
    subject: str,
    body: str | None = None,
    html: str | None = None,
    **options: Any,
) -> dict[str, str]:
    """Task body of ``mail.send``: the arguments of ``EasyMailer.send``.

    Arguments travel as JSON: attachments are file paths every worker can
    read, not bytes.
    """
    return _deliver(task, lambda mailer: mailer.send(to, subject, body, html, **options))


def _send_template(
    task: Any,
    to: str | list[str],
    subject: str,
    template_name: str,
    context: dict[str, Any] | None = None,
    **options: Any,
) -> dict[str, str]:
    """Task body of ``mail.send_template``: the arguments of ``EasyMailer.send_template``."""
    return _deliver(
        task, lambda mailer: mailer.send_template(to, subject, template_name, context, **options)
    )


# The retry policy is _deliver's own; Celery's automatic retries stay off.
_TASK_OPTIONS: dict[str, Any] = {
    "bind": True,
    "acks_late": True,
    "reject_on_worker_lost": True,
    "max_retries": None,
}

send: MailTask = app.task(name="mail.send", **_TASK_OPTIONS)(_send)
send_template: MailTask = app.task(name="mail.send_template", **_TASK_OPTIONS)(_send_template)
