"""pytest fixtures for testing an application's mail against a real SMTP server.

Loaded automatically when ``corvenda[testing]`` is installed (``pytest11``
entry point); elsewhere add ``pytest_plugins = ["corvenda.testing.plugin"]``
to a conftest.py.  Fixtures:

smtp_server   an SMTPServer in mode "starttls" with its CA trusted for the
              test; other modes by indirect parametrization::

                  @pytest.mark.parametrize("smtp_server", ["plain", "starttls", "ssl"], indirect=True)

              One server per mode serves the whole session; its messages,
              sessions and faults are cleared before every test.
mail_outbox   the messages (ReceivedMessage) accepted during the current test,
              an Outbox: a list with wait_for(count, timeout=10.0) for mail
              sent from another thread or process.
mailer        an EasyMailer configured for smtp_server, sending from
              user@example.com.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, cast

import pytest

from corvenda.testing import Outbox, SMTPServer
from corvenda.testing._server import MODES, Mode

if TYPE_CHECKING:
    from corvenda.mailer import EasyMailer

__all__ = ["mail_outbox", "mailer", "smtp_server"]

DEFAULT_MODE: Mode = "starttls"


@pytest.fixture(scope="session")
def _corvenda_smtp_servers() -> Iterator[dict[str, SMTPServer]]:
    """The servers of this session, started on first use, one per mode."""
    servers: dict[str, SMTPServer] = {}
    yield servers
    for server in servers.values():
        server.stop()


@pytest.fixture
def smtp_server(request: pytest.FixtureRequest, _corvenda_smtp_servers: dict[str, SMTPServer]) -> Iterator[SMTPServer]:
    """An SMTPServer ("starttls" unless parametrized) with its CA trusted during the test."""
    mode = getattr(request, "param", DEFAULT_MODE)
    if mode not in MODES:
        raise ValueError(f"smtp_server mode must be one of {MODES}, not {mode!r}")
    server = _corvenda_smtp_servers.get(mode)
    if server is None:
        server = _corvenda_smtp_servers[mode] = SMTPServer(cast(Mode, mode)).start()
    server.wait_idle(2.0)  # a previous test's connection must not record into this one
    server.clear()
    with server.trust():
        yield server


@pytest.fixture
def mail_outbox(smtp_server: SMTPServer) -> Outbox:
    """The messages smtp_server accepted during this test, in arrival order (a live list that can wait)."""
    return smtp_server.messages


@pytest.fixture
def mailer(smtp_server: SMTPServer) -> EasyMailer:
    """An EasyMailer for smtp_server: its address, security mode and login, from user@example.com."""
    return smtp_server.mailer()
