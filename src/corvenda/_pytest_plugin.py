"""Entry point of corvenda's pytest plugin.

With the ``testing`` extra installed this is corvenda.testing.plugin.
Without it pytest still runs: the fixtures exist but fail with the
command that installs the extra, so no test passes or errors obscurely.
"""

from __future__ import annotations

from typing import NoReturn

import pytest

# A pytest plugin: pytest finds its fixtures; there is nothing to import from it.
__all__: list[str] = []

try:
    from corvenda.testing.plugin import (_corvenda_smtp_servers, mail_outbox, mailer, pytest_configure, smtp_server,
                                         smtp_server_factory)
except ImportError as error:
    _MISSING = str(error)

    def pytest_configure(config: pytest.Config) -> None:
        config.addinivalue_line("markers", "smtp_server: options of corvenda's smtp_server fixture "
                                           "(needs the testing extra)")

    def _unavailable() -> NoReturn:
        pytest.fail(_MISSING, pytrace=False)

    @pytest.fixture(name="smtp_server")
    def _smtp_server() -> NoReturn:
        _unavailable()

    @pytest.fixture(name="mail_outbox")
    def _mail_outbox() -> NoReturn:
        _unavailable()

    @pytest.fixture(name="mailer")
    def _mailer() -> NoReturn:
        _unavailable()

    @pytest.fixture(name="smtp_server_factory")
    def _smtp_server_factory() -> NoReturn:
        _unavailable()
