"""The example's fixtures, one set per module: Redis, the local SMTP server, a client, two workers.

Run with ``make test-celery``.  A module sets its workers' ``MAIL_*`` settings (by field name)
in its ``fleet_settings`` fixture.
"""

import importlib.util
import os
import shutil

import pytest

from corvenda.testing import SMTPServer
from mailfleet import CREDENTIALS, Client, RedisServer, fleet_of

FLEET_TOOLS = {  # what the fleet's tests need, and how to get it
    "redis-server": (lambda: shutil.which("redis-server"), "apt-get install redis-server"),
    "redis (Python)": (lambda: importlib.util.find_spec("redis"), "apt-get install python3-redis"),
    "celery": (lambda: importlib.util.find_spec("celery"), "apt-get install python3-celery"),
}


@pytest.fixture(scope="module")
def fleet_tools():
    """Skip unless Redis and Celery are there; under CI fail, or CI would pass without a fleet."""
    missing = [f"{name} is missing ({how})" for name, (present, how) in FLEET_TOOLS.items() if not present()]
    if missing and os.environ.get("CI", "").lower() not in ("", "0", "false", "no"):
        pytest.fail("; ".join(missing) + ": CI runs every suite, so install it on the CI machine", pytrace=False)
    if missing:
        pytest.skip("; ".join(missing) + "; or run the tests with tools/in-sysroot, whose root has them")


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """The module's folder: Redis's socket and files, the workers' logs."""
    return tmp_path_factory.mktemp("fleet")


@pytest.fixture(scope="module")
def smtp():
    with SMTPServer("starttls", credentials=CREDENTIALS) as server:
        yield server


@pytest.fixture(scope="module")
def redis_server(workdir):
    with RedisServer(str(workdir)) as server:
        yield server


@pytest.fixture(scope="module")
def client(redis_server):
    with Client(redis_server.url) as client:
        yield client


@pytest.fixture(scope="module")
def fleet(workdir, redis_server, smtp, client, fleet_settings):
    with fleet_of(["w1", "w2"], smtp, redis_server.url, client, str(workdir), **fleet_settings) as workers:
        yield workers


@pytest.fixture
def workers(fleet, smtp, client):
    """The two workers (prefork, two processes each), running, with an empty queue and a fresh server."""
    for worker in fleet:
        if not worker.alive():
            worker.start()
    for worker in fleet:
        worker.wait_ready(client)
    client.purge()
    smtp.clear()
    return fleet
