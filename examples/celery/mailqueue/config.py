"""Settings for the mail workers and their clients, read from the environment.

Every worker process and every client reads the same variables, so one
environment file configures a whole fleet::

    MAIL_BROKER_URL=redis://10.0.0.5:6379/0
    MAIL_SMTP_HOST=smtp.example.com MAIL_SMTP_PORT=587 MAIL_SMTP_SECURITY=starttls
    MAIL_SMTP_USER=app@example.com MAIL_SMTP_PASSWORD=...

Unset variables take the defaults of :class:`Settings`.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any

__all__ = ["SECURITY_MODES", "Settings"]

# MAIL_SMTP_SECURITY value -> EasyMailer's (use_ssl, use_tls).
SECURITY_MODES: dict[str, tuple[bool, bool]] = {
    "ssl": (True, False),
    "starttls": (False, True),
    "plain": (False, False),
}


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
        if self.visibility_timeout <= self.backoff_max + self.socket_timeout:
            # A retry waits in a worker, unacknowledged, until its time comes;
            # if Redis took it for lost meanwhile, it would run twice.
            raise ValueError(
                "MAIL_VISIBILITY_TIMEOUT must exceed MAIL_BACKOFF_MAX plus MAIL_SOCKET_TIMEOUT"
            )

    @property
    def backend_url(self) -> str:
        return self.result_backend or self.broker_url

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
