import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))

from localsmtp import Authority, LocalSMTP  # noqa: E402

# The login every test server accepts; anything else gets 535.
CREDENTIALS = ("mailer@corvenda.test", "s3cret: pass")

# EasyMailer security options that match each server mode.
CLIENT_SECURITY = {
    "plain": {"use_ssl": False, "use_tls": False},
    "starttls": {"use_ssl": False, "use_tls": True},
    "ssl": {"use_ssl": True},
}


@pytest.fixture(scope="session")
def authority():
    ca = Authority()
    yield ca
    ca.close()


@pytest.fixture
def ca_pem(authority, monkeypatch):
    """Make ssl.create_default_context() trust the test CA for this test."""
    monkeypatch.setenv("SSL_CERT_FILE", authority.ca_pem)
    return authority.ca_pem


@pytest.fixture(scope="session")
def _shared_servers(authority):
    servers = {
        mode: LocalSMTP(mode, credentials=CREDENTIALS, authority=authority).start()
        for mode in CLIENT_SECURITY
    }
    yield servers
    for server in servers.values():
        server.stop()


def _fresh(servers, mode):
    server = servers[mode]
    server.reset()
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


@pytest.fixture(params=list(CLIENT_SECURITY))
def server(request, _shared_servers, ca_pem):
    """Each security mode in turn, with the test CA trusted."""
    return _fresh(_shared_servers, request.param)


@pytest.fixture
def make_server(authority):
    """Start a server with special options (see LocalSMTP) for one test."""
    started = []

    def make(mode="plain", **options):
        options.setdefault("credentials", CREDENTIALS)
        server = LocalSMTP(mode, authority=authority, **options).start()
        started.append(server)
        return server

    yield make
    for server in started:
        server.stop()


@pytest.fixture
def mailer_for():
    """EasyMailer for a test server: its address, security mode and login."""
    from corvenda.mailer import EasyMailer

    def make(server, **options):
        username = options.pop("username", CREDENTIALS[0])
        password = options.pop("password", CREDENTIALS[1])
        options = {**CLIENT_SECURITY[server.mode], **options}
        return EasyMailer(server.host, server.port, username, password, **options)

    return make
