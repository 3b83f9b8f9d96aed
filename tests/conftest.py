"""Shared fixtures: corvenda.testing servers for each security mode (the plugin's, with our login and CA), and require()."""

import importlib.util
import os
import shutil

import pytest

from corvenda.preview import _chromium
from corvenda.testing import Authority, SMTPServer

# The fixtures users get (smtp_server, mail_outbox, mailer), as an installed package registers them.
pytest_plugins = ["corvenda.testing.plugin"]

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


def _server_of(mode):
    """The fixture MODE_server: the shared server of that mode, with our login and CA."""
    def server_of_mode(smtp_server_factory, authority):
        return smtp_server_factory(mode, credentials=CREDENTIALS, authority=authority)
    return pytest.fixture(server_of_mode, name=f"{mode}_server")


plain_server, starttls_server, ssl_server = map(_server_of, MODES)


@pytest.fixture
def _shared_servers(smtp_server_factory, authority):
    """The server of each mode, by mode, for tests that pick one from a table."""
    return {mode: smtp_server_factory(mode, credentials=CREDENTIALS, authority=authority) for mode in MODES}


@pytest.fixture(params=MODES)
def server(request, smtp_server_factory, authority, ca_pem):
    """Each security mode in turn, with the test CA trusted."""
    return smtp_server_factory(request.param, credentials=CREDENTIALS, authority=authority)


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


# The programs some suites check with: how to tell one is there, and how to get it.
TOOLS = {
    "chromium": (lambda: _chromium.find_chromium() is not None,
                 "apt-get install chromium, or set CORVENDA_CHROMIUM to a Chromium binary"),
    "spamassassin": (lambda: shutil.which("spamassassin") is not None, "apt-get install spamassassin"),
    "redis": (lambda: shutil.which("redis-server") is not None and importlib.util.find_spec("redis") is not None,
              "apt-get install redis-server python3-redis"),
    "celery": (lambda: importlib.util.find_spec("celery") is not None, "apt-get install python3-celery"),
}


def require(*tools):
    """Skip unless every tool is there; in CI fail instead, since a skip there would hide a whole suite.

    Call it at module level (before importing what the tool brings) or in a test or fixture.
    """
    missing = [tool for tool in tools if not TOOLS[tool][0]()]
    if not missing:
        return
    how = "; ".join(f"{tool} is missing ({TOOLS[tool][1]})" for tool in missing)
    if os.environ.get("CI", "").lower() not in ("", "0", "false", "no"):
        pytest.fail(f"{how}: CI runs every suite, so install it on the CI machine", pytrace=False)
    pytest.skip(f"{how}; or run the tests with tools/in-sysroot, whose root has every tool",
                allow_module_level=True)


# A user's project run from the installed wheel by tools/user-suite, not here.
collect_ignore = ["user_project"]
