"""Shared fixtures: corvenda.testing servers for each security mode."""

import pytest

from corvenda.testing import Authority, SMTPServer

# The login every test server accepts; anything else gets 535.
CREDENTIALS = ("mailer@corvenda.test", "s3cret: pass")
MODES = ["plain", "starttls", "ssl"]


@pytest.fixture(scope="session")
def authority():
    with Authority() as ca:
        yield ca


@pytest.fixture
def ca_pem(authority, monkeypatch):
    """Make ssl.create_default_context() trust the test CA for this test."""
    monkeypatch.setenv("SSL_CERT_FILE", authority.ca_file)
    return authority.ca_file


@pytest.fixture(scope="session")
def _shared_servers(authority):
    servers = {mode: SMTPServer(mode, credentials=CREDENTIALS, authority=authority).start() for mode in MODES}
    yield servers
    for server in servers.values():
        server.stop()


def _fresh(servers, mode):
    server = servers[mode]
    server.wait_idle(2.0)
    server.clear()
    return server


@pytest.fixture
def plain_server(_shared_servers):
    return _fresh(_shared_servers, "plain")


@pytest.fixture
def starttls_server(_shared_servers):
    return _fresh(_shared_servers, "starttls")


@pytest.fixture
def ssl_server(_shared_servers):
    return _fresh(_shared_servers, "ssl")


@pytest.fixture(params=MODES)
def server(request, _shared_servers, ca_pem):
    """Each security mode in turn, with the test CA trusted."""
    return _fresh(_shared_servers, request.param)


@pytest.fixture
def make_server(authority):
    """Start an SMTPServer of its own for one test: make_server(mode="plain", **options)."""
    started = []

    def make(mode="plain", **options):
        options.setdefault("credentials", CREDENTIALS)
        server = SMTPServer(mode, authority=authority, **options).start()
        started.append(server)
        return server

    yield make
    for server in started:
        server.stop()


@pytest.fixture
def mailer_for():
    """EasyMailer for a test server: its address, security mode and login; options override."""

    def make(server, **options):
        return server.mailer(**options)

    return make


# A user's project run from the installed wheel by tools/user-suite, not here.
collect_ignore = ["user_project"]
