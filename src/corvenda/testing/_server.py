"""SMTPServer: aiosmtpd on 127.0.0.1 in a background thread, recording what clients did."""

from __future__ import annotations

import asyncio
import contextlib
import errno
import os
import socket
import ssl
import sys
import tempfile
import threading
import time
from collections.abc import Awaitable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

import aiosmtpd.smtp
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, Envelope, LoginPassword

from corvenda import SECURITY_MODES

from ._authority import Authority, _shared_authority
from ._protocol import _SMTP, _Fault, _Handler, _reply, _verb
from ._records import Outbox, ReceivedMessage, Session

if TYPE_CHECKING:
    from corvenda.mailer import EasyMailer

__all__ = ["SMTPServer"]

Mode = Literal["plain", "starttls", "ssl"]
MODES: tuple[Mode, ...] = ("plain", "starttls", "ssl")

# The login a mailer() uses on a server that accepts any login.
ANY_LOGIN = ("user", "password")
# The domain of the sender address mailer() makes from a login that is not an address.
SENDER_DOMAIN = "example.com"


class SMTPServer:
    """An SMTP server on loopback for tests, usable with ``with``.

    mode         "plain": no TLS, login over the bare connection;
                 "starttls": STARTTLS offered and required before AUTH and MAIL;
                 "ssl": TLS from the first byte (implicit TLS).
                 Every mode requires a login before MAIL (530 otherwise).
    credentials  the (user, password) accepted; other logins get 535.  None
                 accepts any login.
    port         0 picks a free port; ``port`` holds the real one once started.
    authority    the CA that signs the server certificate (default: one
                 shared per process).
    pipelining   advertise PIPELINING (RFC 2920) in the EHLO reply; the
                 server reads grouped commands either way.

    The server records every accepted message in ``messages`` and every
    connection that sent a command in ``sessions``.  Faults armed with
    refuse_recipients(), fail_next(), reject_logins() and drop_connection()
    let a test exercise its own error handling.

    At most ``max_connections`` connections are served at once; further
    ones get ``421`` and are closed.  A message may have at most
    ``data_size_limit`` bytes (``552`` otherwise) and, as each line costs
    memory of its own, at most one line per 32 of those bytes: a message of
    millions of empty lines is cut off with ``552``.
    """

    #: Connections served at once; further ones are answered 421 and closed.
    max_connections: int = 100
    #: Largest message accepted, in bytes (aiosmtpd's default).
    data_size_limit: int = 32 * 1024 * 1024

    def __init__(self, mode: Mode = "starttls", *, credentials: tuple[str, str] | None = ("user", "password"),
                 host: str = "127.0.0.1", port: int = 0, authority: Authority | None = None,
                 pipelining: bool = False) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
        self.mode: Mode = mode
        self.credentials = None if credentials is None else (str(credentials[0]), str(credentials[1]))
        self.host = host
        self.port = port
        self.authority = authority or _shared_authority()
        self.pipelining = pipelining
        self.sessions: list[Session] = []
        self.messages = Outbox(self.sessions)
        self._lock = threading.Lock()
        self._faults: list[_Fault] = []
        self._login_rejections: list[tuple[int, str]] = []  # (count, reply)
        self._refused: dict[str, str] = {}  # lower-cased address -> reply
        self._open: set[_SMTP] = set()  # protocol instances with a live connection
        self._controller: _Controller | None = None

    def __repr__(self) -> str:
        return f"<SMTPServer {self.mode} {self.host}:{self.port}>"

    @property
    def ca_file(self) -> str:
        """PEM file of the CA that signed the server certificate."""
        return self.authority.ca_file

    # -- lifetime ---------------------------------------------------------------

    def start(self) -> Self:
        """Start listening in a background thread; returns the server."""
        if self._controller is not None:
            raise RuntimeError(f"{self!r} is already running")
        tls = self.authority.server_context()
        options: dict[str, Any] = {
            "data_size_limit": self.data_size_limit,
            "server_hostname": "localhost",
            "auth_require_tls": self.mode == "starttls",
            "authenticator": self._authenticate,
        }
        if self.mode == "ssl":
            options["ssl_context"] = tls
        elif self.mode == "starttls":
            options["tls_context"] = tls
        # Bound here, so a port in use fails at once, with the OSError of bind().
        family = socket.getaddrinfo(self.host, self.port, type=socket.SOCK_STREAM)[0][0]
        listener = socket.create_server((self.host, self.port), family=family)
        try:
            controller = _Controller(self, listener, **options)
        except BaseException:
            listener.close()
            raise
        controller.loop.set_exception_handler(_LoopErrors())
        try:
            controller.start()
        except BaseException:
            listener.close()
            controller.loop.close()
            raise
        self.port = controller.port
        self._controller = controller
        return self

    def stop(self) -> None:
        """Close every connection and stop listening."""
        if self._controller is not None:
            self._controller.stop()
            self._controller = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()

    def clear(self) -> None:
        """Forget recorded messages and sessions, and disarm every fault."""
        with self._lock:
            self.messages.clear()
            self.sessions.clear()
        self.clear_faults()

    def wait_idle(self, timeout: float = 10.0) -> bool:
        """Wait until no client connection is open; False if some still are after ``timeout`` s."""
        controller = self._controller
        if controller is None:
            return True

        async def idle() -> None:
            while self._open:
                await asyncio.sleep(0.005)
            # Sockets close in loop callbacks queued with connection_lost.
            for _ in range(3):
                await asyncio.sleep(0)

        future = asyncio.run_coroutine_threadsafe(idle(), controller.loop)
        try:
            future.result(timeout)
            return True
        except TimeoutError:
            future.cancel()
            return False

    # -- the client side ---------------------------------------------------------

    @contextlib.contextmanager
    def trust(self) -> Iterator[str]:
        """Make ``ssl.create_default_context()`` in this process trust ``ca_file``.

        Sets the SSL_CERT_FILE environment variable (to a bundle of this CA
        and the file it named before, if any) and restores it on exit.  The
        setting is process-wide: every thread sees it.  Yields ``ca_file``.
        """
        previous = os.environ.get("SSL_CERT_FILE")
        bundle = None
        if previous and os.path.isfile(previous) and os.path.abspath(previous) != os.path.abspath(self.ca_file):
            with open(self.ca_file, "rb") as ours, open(previous, "rb") as theirs:
                pem = ours.read() + b"\n" + theirs.read()
            fd, bundle = tempfile.mkstemp(prefix="corvenda-trust-", suffix=".pem")
            with os.fdopen(fd, "wb") as out:
                out.write(pem)
        os.environ["SSL_CERT_FILE"] = bundle or self.ca_file
        try:
            yield self.ca_file
        finally:
            if previous is None:
                os.environ.pop("SSL_CERT_FILE", None)
            else:
                os.environ["SSL_CERT_FILE"] = previous
            if bundle:
                os.unlink(bundle)

    def mailer(self, **overrides: Any) -> EasyMailer:
        """An EasyMailer for this server: its address, security mode and login; ``overrides`` win.

        Its ``default_sender`` is the login when that is an address, else the
        login at example.com ("user@example.com"), so From is an address.
        """
        from corvenda.mailer import EasyMailer

        if self._controller is None:
            raise RuntimeError(f"{self!r} is not running; call start() first")
        username, password = self.credentials or ANY_LOGIN
        sender = username if "@" in username else f"{username}@{SENDER_DOMAIN}"
        options: dict[str, Any] = {"host": self.host, "port": self.port, "username": username,
                                   "password": password, "default_sender": sender,
                                   **SECURITY_MODES[self.mode], **overrides}
        return EasyMailer(**options)

    # -- fault injection ---------------------------------------------------------

    def refuse_recipients(self, *addresses: str, code: int = 550, text: str | None = None) -> None:
        """Answer RCPT for these addresses (compared ignoring case) with ``code``, until clear_faults()."""
        default = ("4.2.1 Mailbox temporarily unavailable" if code < 500
                   else "5.1.1 Recipient address rejected")
        reply = _reply(code, text, default)
        with self._lock:
            for address in addresses:
                self._refused[address.lower()] = reply

    def fail_next(self, command: str, count: int = 1, code: int = 451, text: str | None = None) -> None:
        """Answer the next ``count`` commands of this verb ("MAIL", "RCPT", "DATA"...) with ``code``."""
        default = ("4.3.0 Temporary failure, try again later" if code < 500
                   else "5.5.0 Requested action not taken")
        self._arm(_Fault(_verb(command), count, _reply(code, text, default)))

    def reject_logins(self, count: int = 1, code: int = 535) -> None:
        """Make the next ``count`` logins fail with ``code``, whatever the credentials.

        Once a login failed, every further AUTH on its connection fails too,
        as with a wrong password: smtplib tries each offered mechanism in turn.
        """
        default = ("4.7.0 Temporary authentication failure" if code < 500
                   else "5.7.8 Authentication credentials invalid")
        reply = _reply(code, None, default)
        if count < 1:
            raise ValueError(f"count must be at least 1, not {count}")
        with self._lock:
            self._login_rejections.append((count, reply))

    def drop_connection(self, command: str, count: int = 1, *, after: bool = False) -> None:
        """Close the connection, without replying, when the next ``count`` commands of this verb arrive.

        With ``after=True`` the command is carried out first and its final
        reply is replaced by the drop: for "DATA" the message is stored.
        """
        self._arm(_Fault(_verb(command), count, None, after))

    def clear_faults(self) -> None:
        """Disarm every fault."""
        with self._lock:
            self._faults.clear()
            self._login_rejections.clear()
            self._refused.clear()

    def _arm(self, fault: _Fault) -> None:
        if fault.count < 1:
            raise ValueError(f"count must be at least 1, not {fault.count}")
        with self._lock:
            self._faults.append(fault)

    # -- called from the server thread -------------------------------------------

    def _take_fault(self, verb: str) -> _Fault | None:
        with self._lock:
            for fault in self._faults:
                if fault.verb == verb:
                    fault.count -= 1
                    if fault.count == 0:
                        self._faults.remove(fault)
                    return fault
        return None

    def _take_login_rejection(self) -> str | None:
        with self._lock:
            if not self._login_rejections:
                return None
            count, reply = self._login_rejections[0]
            if count == 1:
                self._login_rejections.pop(0)
            else:
                self._login_rejections[0] = (count - 1, reply)
            return reply

    def _refusal(self, address: str) -> str | None:
        with self._lock:
            return self._refused.get(address.lower())

    def _new_session(self, peer: tuple[str, int]) -> Session:
        record = Session(peer=peer)
        with self._lock:
            self.sessions.append(record)
        return record

    def _arrived(self, message: ReceivedMessage) -> None:
        """Store an accepted message; subclasses may also report it."""
        with self._lock:
            self.messages._add(message)

    def _authenticate(self, protocol: _SMTP, session: aiosmtpd.smtp.Session, envelope: Envelope,
                      mechanism: str, auth_data: Any) -> AuthResult:
        assert isinstance(auth_data, LoginPassword)  # what LOGIN and PLAIN, the mechanisms offered, give
        user = auth_data.login.decode("utf-8", "replace")
        password = auth_data.password.decode("utf-8", "replace")
        record = protocol.session_record()
        record.logins.append((user, password))
        # smtplib tries the next mechanism after a failed one: a rejected
        # login stays rejected on its connection, like a wrong password.
        rejected = protocol.rejected_login or self._take_login_rejection()
        if rejected is not None:
            protocol.rejected_login = rejected
            return AuthResult(success=False, handled=False, message=rejected)
        ok = self.credentials is None or (user, password) == self.credentials
        if ok:
            record.login = user
        return AuthResult(success=ok, handled=False)


class _Controller(Controller):
    """Serves on a socket already bound to the requested port and makes one _SMTP per connection."""

    def __init__(self, owner: SMTPServer, listener: socket.socket, **options: Any) -> None:
        super().__init__(_Handler(owner), hostname=owner.host, port=listener.getsockname()[1], **options)
        self.owner = owner
        self._listener = listener

    def factory(self) -> _SMTP:
        return _SMTP(self.owner, self.handler, **self.SMTP_kwargs)

    def _create_server(self) -> Awaitable[asyncio.AbstractServer]:
        return self._bind()

    async def _bind(self) -> asyncio.AbstractServer:
        return await self.loop.create_server(self._factory_invoker, sock=self._listener, ssl=self.ssl_context)


# accept() failing for want of file descriptors or memory: asyncio retries
# after a second, and reports every failure.
_OUT_OF_RESOURCES = frozenset({errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM})


class _LoopErrors:
    """The server loop's exception handler: quiet about expected errors, brief about floods."""

    #: Seconds between two reports of running out of file descriptors.
    interval = 10.0

    def __init__(self) -> None:
        self._last = -self.interval
        self._suppressed = 0

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        error = context.get("exception")
        # A client that rejects the certificate in implicit TLS, or a connection
        # a test dropped, ends before or outside the SMTP protocol: expected here.
        if isinstance(error, (ssl.SSLError, ConnectionError)):
            return
        if isinstance(error, OSError) and error.errno in _OUT_OF_RESOURCES:
            now = time.monotonic()
            if now - self._last < self.interval:
                self._suppressed += 1
                return
            more = f" ({self._suppressed} more since the last report)" if self._suppressed else ""
            print(f"corvenda.testing: cannot accept connections: {error.strerror}{more}; "
                  "close some, or raise the open-file limit (ulimit -n)", file=sys.stderr, flush=True)
            self._last, self._suppressed = now, 0
            return
        loop.default_exception_handler(context)
