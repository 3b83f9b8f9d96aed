"""pytest fixtures for testing an application's mail against a real SMTP server.

Loaded automatically when ``corvenda[testing]`` is installed (``pytest11``
entry point); elsewhere add ``pytest_plugins = ["corvenda.testing.plugin"]``
to a conftest.py.  Fixtures:

smtp_server           an SMTPServer, mode "starttls", with its CA trusted for
                      the test.  Other options (those of SMTPServer: mode,
                      credentials, authority, pipelining) come from the
                      ``smtp_server`` marker of the test, its class or module::

                          @pytest.mark.smtp_server("ssl", credentials=("app@example.com", "secret"))

                      or from indirect parametrization, with a mode or a dict
                      of options (these win over the marker's)::

                          @pytest.mark.parametrize("smtp_server", ["plain", {"mode": "ssl"}], indirect=True)

mail_outbox           the messages (ReceivedMessage) accepted during the
                      current test, an Outbox: a list with
                      wait_for(count, timeout=10.0) for mail sent from
                      another thread or process.
mailer                an EasyMailer configured for smtp_server.
smtp_server_factory   smtp_server_factory(mode="starttls", **options): the
                      server for those options, for fixtures of your own
                      (say, with an authority from another fixture).  Its CA
                      is not trusted for you: use server.trust() or
                      server.ca_file.

One server per set of options serves the whole session; its messages,
sessions and faults are cleared when a test first gets it.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterator
from typing import TYPE_CHECKING, Any, cast

import pytest

from corvenda.testing import Outbox, SMTPServer
from corvenda.testing._server import MODES, Mode

if TYPE_CHECKING:
    from corvenda.mailer import EasyMailer

__all__ = ["mail_outbox", "mailer", "smtp_server", "smtp_server_factory"]

DEFAULT_MODE = "starttls"
MARKER = ("smtp_server(mode='starttls', *, credentials=('user', 'password'), authority=None, pipelining=False): "
          "the options of the server the smtp_server and mailer fixtures give (corvenda.testing)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", MARKER)


@pytest.fixture(scope="session")
def _corvenda_smtp_servers() -> Iterator[dict[Hashable, SMTPServer]]:
    """The servers of this session, started on first use, one per set of options."""
    servers: dict[Hashable, SMTPServer] = {}
    yield servers
    for server in servers.values():
        server.stop()


def _key(mode: str, options: dict[str, Any]) -> Hashable:
    if mode not in MODES:
        raise ValueError(f"smtp_server mode must be one of {MODES}, not {mode!r}")
    if options.get("credentials") is not None:
        options["credentials"] = tuple(options["credentials"])
    # An Authority is hashed by identity: the same CA, the same server.
    return mode, tuple(sorted(options.items()))


def _marked(mode: str = DEFAULT_MODE, **options: Any) -> dict[str, Any]:
    return {"mode": mode, **options}


@pytest.fixture
def smtp_server_factory(_corvenda_smtp_servers: dict[Hashable, SMTPServer]) -> Callable[..., SMTPServer]:
    """smtp_server_factory(mode="starttls", **options): this session's server for those options, cleared."""
    given: set[Hashable] = set()

    def server_for(mode: str = DEFAULT_MODE, **options: Any) -> SMTPServer:
        key = _key(mode, options)
        server = _corvenda_smtp_servers.get(key)
        if server is None:
            server = _corvenda_smtp_servers[key] = SMTPServer(cast(Mode, mode), **options).start()
        if key not in given:
            given.add(key)
            server.wait_idle(2.0)  # a previous test's connection must not record into this one
            server.clear()
        return server

    return server_for


@pytest.fixture
def smtp_server(request: pytest.FixtureRequest,
                smtp_server_factory: Callable[..., SMTPServer]) -> Iterator[SMTPServer]:
    """An SMTPServer ("starttls" unless marked or parametrized) with its CA trusted during the test."""
    options: dict[str, Any] = {}
    marker = request.node.get_closest_marker("smtp_server")
    if marker is not None:
        options.update(_marked(*marker.args, **marker.kwargs))
    param = getattr(request, "param", None)
    if isinstance(param, dict):
        options.update(param)
    elif param is not None:
        options["mode"] = param
    server = smtp_server_factory(**options)
    with server.trust():
        yield server


@pytest.fixture
def mail_outbox(smtp_server: SMTPServer) -> Outbox:
    """The messages smtp_server accepted during this test, in arrival order (a live list that can wait)."""
    return smtp_server.messages


@pytest.fixture
def mailer(smtp_server: SMTPServer) -> EasyMailer:
    """An EasyMailer for smtp_server: its address, security mode and login, from the login's address."""
    return smtp_server.mailer()
