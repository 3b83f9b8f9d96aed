"""The Celery app and its two tasks, ``mail.send`` and ``mail.send_template``.

Run workers (one per machine or more; each forks ``--concurrency`` processes)::

    celery -A mailqueue.tasks worker --concurrency 4 --loglevel INFO

and enqueue from the application (see ``enqueue_batch.py``)::

    from mailqueue.tasks import send_template
    send_template.delay("ann@example.org", "Your code", "verification_code", {"code": "493021"})

Each task returns ``{"status": "sent", "message_id": ..., "refused": {...},
"reply": [code, text]}`` (``refused``: the recipients the server refused,
address -> [code, text], while it took the message for the others; ``reply``:
its final reply, which usually names its queue id) or ``{"status": "already
sent"}`` (a redelivered message whose earlier run had already handed it
over), or fails with :class:`Undeliverable`, whose message is the reason.  A message
whose runs keep ending without an outcome (its process killed, say by the
OOM killer) is set aside after ``MAIL_MAX_DELIVERIES`` runs in a dead-letter
queue (see ``mailqueue.deadletter``), and fails with the reason.

Delivery is at least once: a message is acknowledged to Redis only after its
task ended (``acks_late``), and a task whose process died is handed to
another (``task_reject_on_worker_lost``, and Redis's visibility timeout when
a whole worker disappears).  A "sent" mark in Redis, written right after the
server accepted the message, keeps a redelivered task from sending again;
see docs/scaling.md for the windows no mark can close.

Every message carries the Message-ID ``<task id@sender's domain>``: a
second copy of one message has the same one, which both the receiving side
and the tests can tell.

Each worker process (each thread, with ``--pool threads``) keeps one
logged-in SMTP connection (:class:`corvenda.bulk.Connection`) from its first
message on and sends message after message over it: a fleet pays one login
per process, not one per message.  The connection reconnects by itself
after a server limit or a dropped connection; it is closed (QUIT) when the
process ends.
"""

from __future__ import annotations

import json
import logging
import signal
import smtplib
import socket
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, Protocol, TypeVar

import redis
from celery import Celery
from celery.exceptions import Reject, SoftTimeLimitExceeded
from celery.signals import worker_process_init, worker_process_shutdown, worker_shutdown
from redis.backoff import EqualJitterBackoff, NoBackoff
from redis.retry import Retry

from corvenda import SECURITY_MODES
from corvenda.bulk import Connection, Result
from corvenda.mailer import EasyMailer
from mailqueue.attachments import load_all
from mailqueue.config import Settings
from mailqueue.retry import TemporaryFailure, classify, task_options

__all__ = ["DEAD_LETTERS", "MailTask", "Undeliverable", "app", "deliveries_key", "send",
           "send_template", "settings"]

log = logging.getLogger(__name__)

settings = Settings.from_env()

#: Redis hash of the messages set aside: task id -> JSON record (see mailqueue.deadletter).
DEAD_LETTERS = "mailqueue:dead"

# Attempts to store a result: enough for MAIL_REDIS_WAIT seconds at one a second or more.
_RESULT_RETRIES = 5 + 2 * int(settings.redis_wait)

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
    # unacknowledged in a worker until it is due, and the longest task.
    broker_transport_options={"visibility_timeout": settings.visibility_timeout},
    broker_connection_retry_on_startup=True,
    # Storing a result rides out a Redis restart like the task's own calls:
    # retried for about MAIL_REDIS_WAIT seconds, waits of at most one second.
    result_backend_transport_options={
        "visibility_timeout": settings.visibility_timeout,
        "retry_policy": {"max_retries": _RESULT_RETRIES, "interval_start": 0,
                         "interval_step": 0.2, "interval_max": 1},
    },
    result_backend_always_retry=True,
    # So does publishing a retry: a lost publish would be a lost message.
    task_publish_retry_policy={"max_retries": _RESULT_RETRIES, "interval_start": 0,
                               "interval_step": 0.2, "interval_max": 1},
    result_backend_max_retries=_RESULT_RETRIES,
    result_backend_base_sleep_between_retries_ms=100,
    result_backend_max_sleep_between_retries_ms=1000,
    result_expires=24 * 3600,
    # A task stuck in its own work (a template computing for minutes) is
    # stopped; a send never takes this long, every socket call being bounded.
    task_soft_time_limit=settings.soft_time_limit,
    task_time_limit=settings.time_limit,
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


class _Mailer(EasyMailer):
    """The mailer, stamping each message with the Message-ID of the task that sends it.

    One per thread: ``message_id`` belongs to the task the thread runs.
    """

    message_id: str | None = None

    def _build_message(self, *args: Any, **kwargs: Any) -> Any:
        message = super()._build_message(*args, **kwargs)
        if self.message_id is not None:
            del message["Message-ID"]
            message["Message-ID"] = self.message_id
        return message


class _Process:
    """Per worker process: the Redis client for marks and counts, and every
    SMTP connection its threads opened (to close them when it ends)."""

    redis: redis.Redis | None = None
    connections: list[Connection] = []
    lock = threading.Lock()


class _Sender(threading.local):
    """Per thread of a worker process: the mailer and its kept connection."""

    mailer: _Mailer | None = None
    connection: Connection | None = None


_sender = _Sender()


def _start_process(**_: Any) -> None:
    """Prepare a worker process, once, before it runs its first task."""
    # smtplib uses the default timeout for every connection it opens; the
    # mailer passes none of its own.  Without this a server that accepts the
    # connection and never answers would hold the process forever.  The
    # kept connection applies the same timeout to every later operation.
    socket.setdefaulttimeout(settings.socket_timeout)
    timeout = min(settings.socket_timeout, settings.redis_wait)
    _Process.redis = redis.Redis.from_url(
        settings.redis_url,
        socket_timeout=timeout,
        socket_connect_timeout=timeout,
        retry=Retry(NoBackoff(), 0),  # _redis() retries, for MAIL_REDIS_WAIT seconds
    )
    _start_thread()


def _start_thread() -> Connection:
    """This thread's mailer and connection; the connection opens with the first message."""
    _sender.mailer = _Mailer(
        settings.smtp_host,
        settings.smtp_port,
        settings.smtp_user,
        settings.smtp_password,
        **SECURITY_MODES[settings.smtp_security],
        default_sender=settings.default_sender or None,
        template_dir=settings.template_dir or None,
    )
    connection = Connection(_sender.mailer, timeout=settings.socket_timeout)
    with _Process.lock:
        _Process.connections.append(connection)
    _sender.connection = connection
    return connection


def _stop_process(**_: Any) -> None:
    """Close this process's SMTP connections politely (QUIT) as it ends."""
    with _Process.lock:
        connections, _Process.connections = _Process.connections, []
    for connection in connections:
        try:
            connection.close()
        except Exception as error:  # the messages are out; a failing goodbye changes nothing
            log.warning("closing the SMTP connection failed: %s: %s", type(error).__name__, error)


worker_process_init.connect(_start_process, weak=False)
# A pool process as it exits; the worker itself with --pool threads or solo.
worker_process_shutdown.connect(_stop_process, weak=False)
worker_shutdown.connect(_stop_process, weak=False)

# Failures of a Redis call that a restart or failover causes and that go away.
_REDIS_TRANSIENT = (redis.ConnectionError, redis.TimeoutError, redis.exceptions.BusyLoadingError,
                    redis.exceptions.ReadOnlyError, redis.exceptions.TryAgainError)

_T = TypeVar("_T")
# Between tries of a Redis call: from 0.1-0.2 s, doubling, up to 1-2 s.
_REDIS_BACKOFF = EqualJitterBackoff(cap=2.0, base=0.2)


def _redis(what: str, call: Callable[[redis.Redis], _T]) -> _T:
    """``call(client)``, retried on transient Redis failures for MAIL_REDIS_WAIT seconds."""
    assert _Process.redis is not None
    deadline = time.monotonic() + settings.redis_wait
    attempt = 0
    while True:
        try:
            return call(_Process.redis)
        except _REDIS_TRANSIENT as error:
            left = deadline - time.monotonic()
            if left <= 0:
                raise
            wait = min(left, _REDIS_BACKOFF.compute(min(attempt, 16)))
            attempt += 1
            log.warning("Redis %s failed (%s: %s); again in %.1f s", what, type(error).__name__, error, wait)
            time.sleep(wait)


def deliveries_key(task_id: str, retries: int) -> str:
    """The Redis counter of runs of one message (a task id at one retry number)."""
    return f"mailqueue:deliveries:{task_id}:{retries}"


@contextmanager
def _terminate_after() -> Iterator[None]:
    """Hold SIGTERM back while the block runs; a pending one ends the process after it.

    systemd stops a service by sending SIGTERM to every process of it; the
    pool's handler of SIGTERM raises SystemExit wherever the process is.  In
    the middle of a send that leaves the message's fate unknown, so the
    signal waits until the message is handed over and its mark is written.
    (A send is bounded by the socket timeout; the worker's hard time limit
    ends the process with SIGKILL anyway.)
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    try:
        yield
    finally:
        # Unblocking delivers a pending SIGTERM: its handler runs right here.
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def _interruption(error: BaseException) -> BaseException | None:
    """A SystemExit, KeyboardInterrupt... that ``error`` was raised while handling, if any.

    Leaving ``with smtplib.SMTP(...)`` sends QUIT; when the block was left by
    an interruption, a failing QUIT raises a new exception that takes the
    interruption's place.  The interruption is what happened.
    """
    seen: set[int] = set()
    current: BaseException | None = error
    while current is not None and id(current) not in seen:
        seen.add(id(current))
        if not isinstance(current, Exception) or isinstance(current, SoftTimeLimitExceeded):
            return current
        current = current.__context__
    return None


def _record(task: Any, deliveries: int) -> str:
    request = task.request
    return json.dumps({
        "id": request.id, "task": task.name, "args": list(request.args or ()),
        "kwargs": dict(request.kwargs or {}), "retries": request.retries,
        "deliveries": deliveries, "at": int(time.time()),
        "reason": f"started {deliveries} times without finishing",
    })


def _deliver(task: Any, submit: Callable[[Connection], Result]) -> dict[str, Any]:
    """Run ``submit`` with this thread's connection under the retry policy."""
    if _Process.redis is None:
        _start_process()  # not in a pool process: --pool threads, solo, or an eager call
    connection = _sender.connection or _start_thread()
    assert _sender.mailer is not None
    request = task.request
    mark = f"mailqueue:sent:{request.id}"
    counter = deliveries_key(request.id, request.retries)

    def start(client: redis.Redis) -> tuple[int, int]:
        pipe = client.pipeline()
        pipe.incr(counter)
        pipe.expire(counter, settings.sent_ttl)
        pipe.exists(mark)
        count, _, sent = pipe.execute()
        return int(count), int(sent)

    try:
        deliveries, sent = _redis("check", start)
    except _REDIS_TRANSIENT as error:
        # Nothing was sent: give the message back rather than fail it.
        log.error("%s %s: Redis unreachable (%s); message returned to the queue", task.name, request.id, error)
        raise Reject(f"Redis unreachable: {error}", requeue=True) from error
    if sent:
        log.warning("%s %s: sent before, not sending again", task.name, request.id)
        return {"status": "already sent"}
    if deliveries > settings.max_deliveries:
        _redis("dead letter", lambda client: client.hset(DEAD_LETTERS, request.id, _record(task, deliveries - 1)))
        reason = (f"dead-lettered: started {deliveries - 1} times without finishing "
                  "(its process died each time); see python -m mailqueue.deadletter")
        log.error("%s %s: %s", task.name, request.id, reason)
        raise Undeliverable(reason)

    _sender.mailer.message_id = f"<{request.id}@{_domain()}>"
    with _terminate_after():
        try:
            result = submit(connection)
            if result.outcome == "unknown":
                # The connection failed after the whole message was out and
                # before the server's reply: it may have the message.  Delivery
                # is at least once, so this is retried like any dropped
                # connection; a second copy carries the same Message-ID.
                log.warning("%s %s: connection lost waiting for the reply to %s; the server may have it",
                            task.name, request.id, result.message_id)
                raise result.error or smtplib.SMTPServerDisconnected("no reply to the message text")
        except Exception as error:
            interrupted = _interruption(error)
            if isinstance(interrupted, SoftTimeLimitExceeded):
                reason = f"ran over the task time limit ({settings.soft_time_limit:g} s)"
                log.error("%s %s: not sent: %s", task.name, request.id, reason)
                raise Undeliverable(reason) from error
            if interrupted is not None:
                raise interrupted from None
            verdict = classify(error)
            attempts = request.retries + 1
            if verdict.retry and request.retries < settings.max_retries:
                log.info("%s %s: attempt %d failed (%s); to be retried",
                         task.name, request.id, attempts, verdict.reason)
                raise TemporaryFailure(verdict.reason) from error  # Celery retries it: task_options()
            # The last retry's failure is reported here, with its reason, rather than
            # left to Celery, which would end the task with the TemporaryFailure.
            if verdict.retry:
                reason = f"gave up after {attempts} attempts: {verdict.reason}"
            else:
                reason = verdict.reason
            log.error("%s %s: not sent: %s", task.name, request.id, reason)
            raise Undeliverable(reason) from error
        # The server has the message.  Mark it before the task ends, so that a
        # redelivery after a crash from here on does not send it again.
        try:
            _redis("sent mark", lambda client: client.set(mark, int(time.time()), ex=settings.sent_ttl))
        except _REDIS_TRANSIENT as error:
            # The message is out; only the protection against a second copy
            # is missing.  Reporting a failure would be false.
            log.error("%s %s: sent, but the sent mark could not be written (%s)", task.name, request.id, error)
    return {"status": "sent", "message_id": result.message_id,
            "refused": {address: list(reply) for address, reply in result.refused.items()},
            "reply": list(result.reply) if result.reply is not None else None}


def _domain() -> str:
    sender = settings.default_sender or settings.smtp_user
    domain = sender.rpartition("@")[2].strip("<> ")
    return domain or "mailqueue.invalid"


def _send(
    task: Any,
    to: str | list[str],
    subject: str,
    body: str | None = None,
    html: str | None = None,
    **options: Any,
) -> dict[str, Any]:
    """Task body of ``mail.send``: the arguments of ``EasyMailer.send``.

    Arguments travel as JSON: attachments are names of files inside
    MAIL_ATTACHMENT_DIR, not bytes.
    """
    def submit(connection: Connection) -> Result:
        attachments = load_all(options.pop("attachments", None), settings.attachment_dir)
        return connection.send(to, subject, body, html, attachments=attachments, **options)
    return _deliver(task, submit)


def _send_template(
    task: Any,
    to: str | list[str],
    subject: str,
    template_name: str,
    context: dict[str, Any] | None = None,
    **options: Any,
) -> dict[str, Any]:
    """Task body of ``mail.send_template``: the arguments of ``EasyMailer.send_template``."""
    def submit(connection: Connection) -> Result:
        attachments = load_all(options.pop("attachments", None), settings.attachment_dir)
        return connection.send_template(to, subject, template_name, context, attachments=attachments,
                                        **options)
    return _deliver(task, submit)


# Acknowledgement, redelivery and time limits come from the app's
# configuration above; which failures are retried, from _deliver.
_TASK_OPTIONS: dict[str, Any] = {"bind": True, **task_options(settings)}

send: MailTask = app.task(name="mail.send", **_TASK_OPTIONS)(_send)
send_template: MailTask = app.task(name="mail.send_template", **_TASK_OPTIONS)(_send_template)
