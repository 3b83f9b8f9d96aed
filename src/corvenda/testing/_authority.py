"""Authority: a certificate authority for test servers, throwaway or kept in a directory."""

from __future__ import annotations

import atexit
import contextlib
import fcntl
import functools
import os
import ssl
from typing import Self

import trustme

__all__ = ["Authority"]


class Authority:
    """A certificate authority for tests and a certificate it signed for 127.0.0.1 and localhost.

    Without ``directory`` the CA is a throwaway: its certificate is written
    to ``ca_file``, a temporary file readable by the owner only, removed by
    close() (or leaving a ``with`` block).  Servers created without an authority share
    one per process.

    With ``directory`` the CA is kept there (``ca.pem`` and its private key
    ``ca-key.pem``, created on first use, readable by the owner only) and
    loaded again by every later Authority for that directory, so clients
    that trust ``ca_file`` keep trusting servers across restarts.  close()
    leaves the directory alone.
    """

    CA_FILE = "ca.pem"
    KEY_FILE = "ca-key.pem"

    def __init__(self, directory: str | os.PathLike[str] | None = None) -> None:
        self._files = contextlib.ExitStack()  # what close() removes
        if directory is None:
            self._ca = trustme.CA(organization_name="corvenda.testing")
            self.ca_file: str = self._files.enter_context(self._ca.cert_pem.tempfile())
        else:
            self.ca_file = os.path.join(os.path.abspath(directory), self.CA_FILE)
            self._ca = self._kept(os.path.dirname(self.ca_file))
        self._cert = self._ca.issue_cert("127.0.0.1", "localhost")

    @classmethod
    def _kept(cls, directory: str) -> trustme.CA:
        """The CA stored in ``directory``, made and stored there first if it holds none."""
        os.makedirs(directory, mode=0o700, exist_ok=True)
        cert, key = (os.path.join(directory, name) for name in (cls.CA_FILE, cls.KEY_FILE))
        # Two servers starting at once with one directory must end up with one CA.
        with open(os.path.join(directory, ".lock"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if os.path.exists(cert) or os.path.exists(key):
                with open(cert, "rb") as cert_pem, open(key, "rb") as key_pem:
                    return trustme.CA.from_pem(cert_pem.read(), key_pem.read())
            ca = trustme.CA(organization_name="corvenda.testing")
            with open(os.open(key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
                out.write(ca.private_key_pem.bytes())
            ca.cert_pem.write_to_path(cert)
            return ca

    def server_context(self) -> ssl.SSLContext:
        """A server-side context presenting the certificate for 127.0.0.1 and localhost."""
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self._cert.configure_cert(context)
        return context

    def client_context(self) -> ssl.SSLContext:
        """A client context that trusts this CA and no other."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        self._ca.configure_trust(context)
        return context

    def close(self) -> None:
        """Remove the CA file of a throwaway CA (if still there); a kept one stays."""
        with contextlib.suppress(FileNotFoundError):
            self._files.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


@functools.cache
def _shared_authority() -> Authority:
    authority = Authority()
    creator = os.getpid()

    def close() -> None:
        if os.getpid() == creator:  # not when a child forked from this process exits
            authority.close()

    atexit.register(close)
    return authority

