"""Settings for the mail workers and their clients, read from the environment.

Every worker process and every client reads the same variables, so one
environment file configures a whole fleet::

    MAIL_BROKER_URL=redis://10.0.0.5:6379/0     # or redis+socket:///run/redis/redis.sock?virtual_host=0
    MAIL_SMTP_HOST=smtp.example.com MAIL_SMTP_PORT=587 MAIL_SMTP_SECURITY=starttls
    MAIL_SMTP_USER=app@example.com MAIL_SMTP_PASSWORD=...

Unset variables take the defaults of :class:`Settings`.
"""

from __future__ import annotations

import os
import urllib.parse
from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any

from corvenda import SECURITY_MODES

__all__ = ["SEND_ROUND_TRIPS", "Settings"]

# Blocking socket operations of one send, each bounded by the socket
# timeout.  A send goes over the process's kept connection and, when that
# fails, once more over a new one: QUIT to a connection due for renewal;
# MAIL, two RCPT, DATA and the message on the kept connection; then connect,
# greeting, EHLO, STARTTLS, the handshake, EHLO, AUTH (two steps), MAIL,
# two RCPT, DATA, the message and the reply to it.
SEND_ROUND_TRIPS = 20


@dataclass(frozen=True)
class Settings:
    """One fleet's configuration; each field has an environment variable.

    Times are in seconds.
    """

    broker_url: str = "redis://127.0.0.1:6379/0"  # MAIL_BROKER_URL
    result_backend: str = ""                       # MAIL_RESULT_BACKEND; empty: the broker
    smtp_host: str = "127.0.0.1"                   # MAIL_SMTP_HOST
    smtp_port: int = 465                           # MAIL_SMTP_PORT
    smtp_security: str = "ssl"                     # MAIL_SMTP_SECURITY: ssl, starttls or plain
    smtp_user: str = ""                            # MAIL_SMTP_USER
    smtp_password: str = ""                        # MAIL_SMTP_PASSWORD
    default_sender: str = ""                       # MAIL_DEFAULT_SENDER; empty: the login name
    template_dir: str = ""                         # MAIL_TEMPLATE_DIR; empty: built-in templates only
    socket_timeout: float = 30.0                   # MAIL_SOCKET_TIMEOUT: every blocking socket call
    max_retries: int = 8                           # MAIL_MAX_RETRIES: retries after the first attempt
    backoff_base: float = 10.0                     # MAIL_BACKOFF_BASE: first retry after 5-10 s
    backoff_max: float = 900.0                     # MAIL_BACKOFF_MAX: cap of one wait
    visibility_timeout: int = 3600                 # MAIL_VISIBILITY_TIMEOUT: unacknowledged -> redelivered
    sent_ttl: int = 7 * 24 * 3600                  # MAIL_SENT_TTL: how long a "sent" mark is kept
    redis_wait: float = 30.0                       # MAIL_REDIS_WAIT: how long one Redis call is retried
    max_deliveries: int = 5                        # MAIL_MAX_DELIVERIES: unfinished runs before the dead-letter queue
    attachment_dir: str = ""                       # MAIL_ATTACHMENT_DIR: the only folder attachments come from

    def __post_init__(self) -> None:
        if self.smtp_security not in SECURITY_MODES:
            raise ValueError(
                f"MAIL_SMTP_SECURITY must be one of {', '.join(SECURITY_MODES)}, "
                f"not {self.smtp_security!r}"
            )
        if self.socket_timeout <= 0:
            raise ValueError("MAIL_SOCKET_TIMEOUT must be positive: a worker must never wait forever")
        if self.backoff_max < self.backoff_base:
            raise ValueError("MAIL_BACKOFF_MAX must not be smaller than MAIL_BACKOFF_BASE")
        if self.redis_wait <= 0:
            raise ValueError("MAIL_REDIS_WAIT must be positive")
        if self.max_deliveries < 1:
            raise ValueError("MAIL_MAX_DELIVERIES must be at least 1")
        if self.visibility_timeout <= self.backoff_max + self.time_limit:
            # A retry waits in a worker, unacknowledged, until its time comes,
            # and a task may run up to its time limit; if Redis took it for
            # lost meanwhile, it would run twice.
            raise ValueError(
                "MAIL_VISIBILITY_TIMEOUT must exceed MAIL_BACKOFF_MAX plus the task time limit "
                f"({self.time_limit:g} s, from MAIL_SOCKET_TIMEOUT and MAIL_REDIS_WAIT)"
            )

    @property
    def backend_url(self) -> str:
        return self.result_backend or self.broker_url

    @property
    def redis_url(self) -> str:
        """``backend_url`` as redis-py reads it, for the workers' own Redis calls.

        Celery spells a unix socket ``redis+socket://:PASSWORD@/PATH?virtual_host=DB``,
        redis-py ``unix://:PASSWORD@/PATH?db=DB``; other URLs are the same for both.
        """
        url = self.backend_url
        if not url.startswith("redis+socket://"):
            return url
        parts = urllib.parse.urlsplit(url)
        query = [("db" if key == "virtual_host" else key, value)
                 for key, value in urllib.parse.parse_qsl(parts.query)]
        return urllib.parse.urlunsplit(("unix", parts.netloc, parts.path, urllib.parse.urlencode(query), ""))

    @property
    def soft_time_limit(self) -> float:
        """Seconds a task may run before it is stopped with SoftTimeLimitExceeded.

        Room for a send whose every socket operation waits the whole socket
        timeout, and for the Redis calls before and after it to be retried
        for MAIL_REDIS_WAIT each: a task that runs longer is stuck in its
        own work (a template that computes for minutes), not waiting on
        the network.
        """
        return SEND_ROUND_TRIPS * self.socket_timeout + 2 * self.redis_wait

    @property
    def time_limit(self) -> float:
        """Seconds after which the worker kills the process running a task."""
        return self.soft_time_limit + 2 * self.socket_timeout

    @classmethod
    def from_env(cls, env: Mapping[str, str] | None = None) -> Settings:
        """Settings from ``MAIL_*`` variables of ``env`` (default ``os.environ``)."""
        env = os.environ if env is None else env
        defaults = cls()
        values: dict[str, Any] = {}
        for field in fields(cls):
            raw = env.get(_variable(field.name))
            if raw is None:
                continue
            kind: type[Any] = type(getattr(defaults, field.name))
            try:
                values[field.name] = kind(raw)
            except ValueError:
                raise ValueError(f"{_variable(field.name)}={raw!r} is not a valid {kind.__name__}") from None
        return cls(**values)


def _variable(field_name: str) -> str:
    return "MAIL_" + field_name.upper()
