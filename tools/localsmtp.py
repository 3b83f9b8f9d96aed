"""A local SMTP server for tests, the demo and benchmarks.

LocalSMTP runs aiosmtpd in a background thread on 127.0.0.1 and records
what each client did, so a caller can check what actually went over the
wire::

    with LocalSMTP("starttls", credentials=("user", "secret")) as server:
        os.environ["SSL_CERT_FILE"] = server.ca_pem   # trust its certificate
        ...send through server.host, server.port...
        session = server.sessions[-1]
        session.commands   # ["EHLO", "STARTTLS", "EHLO", "AUTH", "MAIL", ...]
        session.logins     # [("user", "secret")]
        server.messages    # delivered messages: envelope and DATA bytes

Modes:
  "plain"     AUTH allowed without TLS; STARTTLS offered unless
              offer_starttls=False, but not required.
  "starttls"  STARTTLS offered and required before AUTH and MAIL.
  "ssl"       TLS from the first byte (implicit TLS).

A Session is recorded from a connection's first command on, so a client
that failed the implicit TLS handshake leaves none.  wait_idle() waits until
every client connection is closed on the server side, e.g. before counting
file descriptors.

Certificates come from an Authority: a throwaway CA and a certificate for
127.0.0.1 and localhost.  Servers share one Authority per process unless
given their own; its CA file (``ca_pem``) is what a client must trust.
"""

import asyncio
import atexit
import email
import email.policy
import os
import socket
import ssl
import tempfile
import threading
from dataclasses import dataclass, field

import aiosmtpd.smtp
import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

__all__ = ["Authority", "LocalSMTP", "Message", "Session", "shared_authority"]

MODES = ("plain", "starttls", "ssl")
HOST = "127.0.0.1"


class Authority:
    """A throwaway CA with a server certificate for 127.0.0.1 and localhost.

    The CA certificate is written to ``ca_pem`` in a private temporary
    directory, removed by close() or when the object is collected.
    """

    def __init__(self):
        self._ca = trustme.CA()
        self._cert = self._ca.issue_cert("127.0.0.1", "localhost")
        self._dir = tempfile.TemporaryDirectory(prefix="localsmtp-")
        self.ca_pem = os.path.join(self._dir.name, "ca.pem")
        self._ca.cert_pem.write_to_path(self.ca_pem)

    def server_context(self):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self._cert.configure_cert(context)
        return context

    def client_context(self):
        """A client context that trusts this CA only."""
        return ssl.create_default_context(cafile=self.ca_pem)

    def close(self):
        self._dir.cleanup()


_shared_authority = None
_shared_lock = threading.Lock()


def shared_authority():
    """The Authority that servers use when given none."""
    global _shared_authority
    with _shared_lock:
        if _shared_authority is None:
            _shared_authority = Authority()
            atexit.register(_shared_authority.close)
        return _shared_authority


@dataclass
class Session:
    """What the server saw on one client connection."""

    peer: tuple
    commands: list = field(default_factory=list)  # verbs in order, e.g. "EHLO"
    logins: list = field(default_factory=list)    # (user, password) per AUTH attempt
    tls: bool = False                             # encrypted when last seen
    mail_from: str | None = None                  # of the latest transaction
    rcpt_tos: list = field(default_factory=list)  # recipients accepted
    refused: list = field(default_factory=list)   # recipients rejected with 550
    data: bytes | None = None                     # DATA of the latest transaction

    @property
    def login(self):
        """The last (user, password) that reached the server, or None."""
        return self.logins[-1] if self.logins else None


@dataclass
class Message:
    """A message the server accepted."""

    mail_from: str
    rcpt_tos: list
    data: bytes

    def parse(self):
        return email.message_from_bytes(self.data, policy=email.policy.default)


class LocalSMTP:
    """An SMTP server on 127.0.0.1 with a free port, usable with ``with``.

    credentials  (user, password) to accept; other logins get 535.  None
                 accepts any login.
    require_auth MAIL is refused with 530 until a login succeeded.
    reject       recipient addresses refused with 550.
    drop_at      a command verb ("AUTH", "MAIL", "DATA"...): when it arrives
                 the server closes the connection without answering.
    """

    def __init__(self, mode="plain", *, credentials=None, require_auth=True,
                 offer_starttls=True, reject=(), drop_at=None, authority=None):
        if mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
        if mode != "plain" and not offer_starttls:
            raise ValueError("offer_starttls=False only applies to mode 'plain'")
        self.mode = mode
        self.credentials = credentials
        self.require_auth = require_auth
        self.offer_starttls = offer_starttls and mode != "ssl"
        self.reject = {address.lower() for address in reject}
        self.drop_at = drop_at.upper() if drop_at else None
        self.authority = authority or shared_authority()
        self.host = HOST
        self.port = None
        self.sessions = []
        self.messages = []
        self._open = set()  # protocol instances with a live connection
        self._lock = threading.Lock()
        self._controller = None

    @property
    def ca_pem(self):
        return self.authority.ca_pem

    def __repr__(self):
        return f"<LocalSMTP {self.mode} {self.host}:{self.port}>"

    # -- lifetime ---------------------------------------------------------

    def start(self):
        tls = self.authority.server_context()
        options = dict(
            hostname=self.host,
            server_hostname="localhost",
            auth_require_tls=self.mode == "starttls",
            authenticator=self._authenticate,
        )
        if self.mode == "ssl":
            options["ssl_context"] = tls
        elif self.offer_starttls:
            options["tls_context"] = tls
            options["require_starttls"] = self.mode == "starttls"
        # The controller needs a real port number: take a free one and retry
        # in the unlikely case another process grabbed it meanwhile.
        for attempt in range(5):
            self.port = _free_port(self.host)
            self._controller = _Controller(self, port=self.port, **options)
            self._controller.loop.set_exception_handler(_quiet_tls_errors)
            try:
                self._controller.start()
                break
            except OSError:
                self._controller.loop.close()
                self._controller = None
                if attempt == 4:
                    raise
        return self

    def stop(self):
        if self._controller is not None:
            self._controller.stop()
            self._controller = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def reset(self):
        """Forget recorded sessions and messages."""
        with self._lock:
            self.sessions.clear()
            self.messages.clear()

    def wait_idle(self, timeout=10.0):
        """Wait until the server holds no client connection and its sockets are closed.

        Returns False if connections are still open after ``timeout`` seconds.
        """
        loop = self._controller.loop

        async def idle():
            while self._open:
                await asyncio.sleep(0.005)
            # Sockets close in loop callbacks queued with connection_lost;
            # give those a turn before reporting.
            for _ in range(3):
                await asyncio.sleep(0)

        future = asyncio.run_coroutine_threadsafe(idle(), loop)
        try:
            future.result(timeout)
            return True
        except TimeoutError:
            future.cancel()
            return False

    # -- called from the server thread -------------------------------------

    def _authenticate(self, protocol, session, envelope, mechanism, auth_data):
        user = auth_data.login.decode("utf-8", "replace")
        password = auth_data.password.decode("utf-8", "replace")
        protocol.record.logins.append((user, password))
        ok = self.credentials is None or (user, password) == tuple(self.credentials)
        return AuthResult(success=ok, handled=False, auth_data=user if ok else None)

    def _new_session(self, peer):
        record = Session(peer=peer)
        with self._lock:
            self.sessions.append(record)
        return record


class _Handler:
    """aiosmtpd hooks; every handle_* attribute here is one."""

    def __init__(self, owner):
        self.owner = owner

    async def handle_MAIL(self, protocol, session, envelope, address, options):
        if self.owner.require_auth and not session.authenticated:
            return "530 5.7.0 Authentication required"
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        record = protocol.record
        record.mail_from = address
        record.rcpt_tos = []
        record.refused = []
        record.data = None
        return "250 OK"

    async def handle_RCPT(self, protocol, session, envelope, address, options):
        if address.lower() in self.owner.reject:
            protocol.record.refused.append(address)
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(options)
        protocol.record.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, protocol, session, envelope):
        data = envelope.original_content
        protocol.record.data = data
        message = Message(envelope.mail_from, list(envelope.rcpt_tos), data)
        with self.owner._lock:
            self.owner.messages.append(message)
        return "250 2.0.0 Message accepted for delivery"


    async def handle_exception(self, error):
        # Called for errors inside a session, e.g. a client that rejected our
        # certificate during STARTTLS.  Expected in tests; keep them quiet.
        return f"500 Error: ({type(error).__name__}) {error}"


class _QuietSession(aiosmtpd.smtp.Session):
    # aiosmtpd logs a deprecation warning whenever it stores login_data after
    # a successful AUTH; a plain attribute takes the value silently.
    login_data = None


class _SMTP(aiosmtpd.smtp.SMTP):
    """One client connection: records every command before handling it."""

    def __init__(self, owner, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.owner = owner
        self.record = None
        self._smtp_methods = {
            verb: self._recorded(verb, method)
            for verb, method in self._smtp_methods.items()
        }

    def _create_session(self):
        return _QuietSession(self.loop)

    def _recorded(self, verb, method):
        async def run(arg):
            if self.record is None:
                self.record = self.owner._new_session(self.session.peer)
            self.record.commands.append(verb)
            self.record.tls = self._tls_protocol is not None or self.owner.mode == "ssl"
            if verb == self.owner.drop_at:
                self.transport.close()
                return
            await method(arg)
        return run

    def connection_made(self, transport):
        super().connection_made(transport)
        self.owner._open.add(self)

    def connection_lost(self, error):
        self.owner._open.discard(self)
        super().connection_lost(error)


class _Controller(Controller):
    def __init__(self, owner, **options):
        super().__init__(_Handler(owner), **options)
        self.owner = owner

    def factory(self):
        return _SMTP(self.owner, self.handler, **self.SMTP_kwargs)


def _quiet_tls_errors(loop, context):
    # A client that rejects the certificate in implicit TLS ends the
    # connection before the SMTP protocol starts; asyncio would log that.
    if isinstance(context.get("exception"), (ssl.SSLError, ConnectionError)):
        return
    loop.default_exception_handler(context)


def _free_port(host):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]
