"""SMTPServer: aiosmtpd on 127.0.0.1 in a background thread, recording what clients did."""

from __future__ import annotations

import asyncio
import atexit
import contextlib
import email.policy
import errno
import fcntl
import functools
import html.parser
import os
import re
import socket
import ssl
import sys
import tempfile
import threading
import time
from collections.abc import Awaitable, Callable, Iterator
from dataclasses import dataclass, field
from email.message import EmailMessage
from email.parser import BytesParser
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

import aiosmtpd.smtp
import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, Envelope, LoginPassword

if TYPE_CHECKING:
    from corvenda.mailer import EasyMailer

__all__ = ["Attachment", "Authority", "Outbox", "ReceivedMessage", "SMTPServer", "Session"]

Mode = Literal["plain", "starttls", "ssl"]
MODES: tuple[Mode, ...] = ("plain", "starttls", "ssl")

# The verbs a fault can be armed for: every command aiosmtpd implements.
VERBS = frozenset({"HELO", "EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA",
                   "RSET", "NOOP", "VRFY", "EXPN", "HELP", "QUIT"})
# What a "starttls" server answers before the client has started TLS.
ALLOWED_BEFORE_TLS = frozenset({"EHLO", "HELO", "NOOP", "STARTTLS", "QUIT"})

# EasyMailer security options matching each mode.
CLIENT_SECURITY: dict[str, dict[str, bool]] = {
    "plain": {"use_ssl": False, "use_tls": False},
    "starttls": {"use_ssl": False, "use_tls": True},
    "ssl": {"use_ssl": True, "use_tls": False},
}

# The login a mailer() uses on a server that accepts any login.
ANY_LOGIN = ("user", "password")
# The domain of the sender address mailer() makes from a login that is not an address.
SENDER_DOMAIN = "example.com"


class Authority:
    """A certificate authority for tests and a certificate it signed for 127.0.0.1 and localhost.

    Without ``directory`` the CA is a throwaway: its certificate is written
    to ``ca_file`` in a private temporary directory, removed by close() (or
    leaving a ``with`` block).  Servers created without an authority share
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
        self._dir: tempfile.TemporaryDirectory[str] | None = None
        if directory is None:
            self._dir = tempfile.TemporaryDirectory(prefix="corvenda-testing-")
            self.ca_file: str = os.path.join(self._dir.name, self.CA_FILE)
            self._ca = trustme.CA(organization_name="corvenda.testing")
            self._ca.cert_pem.write_to_path(self.ca_file)
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
        return ssl.create_default_context(cafile=self.ca_file)

    def close(self) -> None:
        """Remove the CA file of a throwaway CA; a kept one stays."""
        if self._dir is not None:
            self._dir.cleanup()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


@functools.cache
def _shared_authority() -> Authority:
    authority = Authority()
    atexit.register(authority.close)
    return authority


@dataclass
class Session:
    """What the server saw on one client connection, from its first command on."""

    peer: tuple[str, int]
    #: Command verbs in order of arrival, including refused ones.
    commands: list[str] = field(default_factory=list)
    #: Whether TLS was active when the first AUTH came; None: no AUTH.
    tls_at_auth: bool | None = None
    #: Whether TLS was active when the first MAIL came; None: no MAIL.
    tls_at_mail: bool | None = None
    #: The user name of the successful login, if any.
    login: str | None = None
    #: (user, password) of every AUTH attempt, accepted or not.
    logins: list[tuple[str, str]] = field(default_factory=list)


_PARSER = BytesParser(policy=email.policy.default)

# A URL in plain text: up to a blank, a quote or an angle bracket.
_TEXT_URL = re.compile(r"""\b(?:https?|ftp)://[^\s<>"']+""", re.IGNORECASE)
# Punctuation that ends a sentence rather than the URL before it.
_TRAILING = ".,;:!?"


def _text_urls(text: str) -> list[str]:
    urls = []
    for match in _TEXT_URL.finditer(text):
        url = match.group()
        while url and (url[-1] in _TRAILING or url[-1] == ")" and url.count(")") > url.count("(")):
            url = url[:-1]
        urls.append(url)
    return urls


class _Hrefs(html.parser.HTMLParser):
    """Collects the href of every <a> and <area>, character references resolved."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.hrefs: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag in ("a", "area"):
            for name, value in attrs:
                if name == "href" and value and value.strip():
                    self.hrefs.append(value.strip())


@dataclass(frozen=True)
class Attachment:
    """One attachment of a received message, decoded."""

    #: The name from Content-Disposition (or Content-Type), decoded; None if it has none.
    filename: str | None
    #: The MIME type without parameters, lower case: "application/pdf".
    content_type: str
    #: The content, transfer encoding removed.
    data: bytes


@dataclass(eq=False, repr=False)
class ReceivedMessage:
    """One message the server accepted.

    ``message[...]`` and ``received["Subject"]`` give header values as the
    ``email.policy.default`` parser makes them (``msg["To"].addresses``,
    ``msg.get_body(("html",))``, ``msg.iter_attachments()``); ``text``,
    ``html``, ``attachments`` and ``links`` give the parts tests look at most.
    """

    envelope_from: str
    envelope_to: list[str]
    #: The DATA as received (dot-stuffing removed).
    raw: bytes
    #: The connection that delivered it.
    session: Session

    @functools.cached_property
    def message(self) -> EmailMessage:
        """The message parsed with ``email.policy.default``."""
        parsed = _PARSER.parsebytes(self.raw)
        assert isinstance(parsed, EmailMessage)
        return parsed

    def __getitem__(self, header: str) -> Any:
        return self.message[header]

    def _body(self, subtype: str) -> str | None:
        part = self.message.get_body((subtype,))
        if part is None:
            return None
        return str(part.get_content()).replace("\r\n", "\n")

    @functools.cached_property
    def text(self) -> str | None:
        """The plain-text body, decoded, line ends as "\\n"; None if the message has none."""
        return self._body("plain")

    @functools.cached_property
    def html(self) -> str | None:
        """The HTML body, decoded, line ends as "\\n"; None if the message has none."""
        return self._body("html")

    @functools.cached_property
    def attachments(self) -> list[Attachment]:
        """The attachments in message order, each with its name, type and decoded bytes."""
        found = []
        for part in self.message.iter_attachments():
            payload = part.get_payload(decode=True)
            found.append(Attachment(part.get_filename(), part.get_content_type(),
                                    payload if isinstance(payload, bytes) else b""))
        return found

    @functools.cached_property
    def links(self) -> list[str]:
        """Every link in the message, each once, in order of first appearance.

        First the ``href`` of each ``<a>`` and ``<area>`` of the HTML body,
        with character references resolved (``&amp;`` becomes ``&``), then
        the http, https and ftp URLs written in the text body that the HTML
        did not already give.  A URL in text ends before a blank, quote or
        angle bracket, and loses trailing sentence punctuation (``.,;:!?``
        and an unmatched ``)``).
        """
        hrefs = _Hrefs()
        if self.html is not None:
            hrefs.feed(self.html)
            hrefs.close()
        urls = hrefs.hrefs + _text_urls(self.text or "")
        return list(dict.fromkeys(urls))

    def __repr__(self) -> str:
        return (f"<ReceivedMessage from {self.envelope_from!r} to {self.envelope_to!r}"
                f" subject {self.message['Subject']!r}>")


class Outbox(list[ReceivedMessage]):
    """The messages a server accepted, in arrival order: a list that can also wait for more.

    The server appends from its own thread; wait_for() lets a test wait for
    mail sent by another thread or process.
    """

    def __init__(self, sessions: list[Session] | None = None) -> None:
        super().__init__()
        self._sessions = sessions if sessions is not None else []
        self._arrival = threading.Condition()

    def _add(self, message: ReceivedMessage) -> None:
        with self._arrival:
            self.append(message)
            self._arrival.notify_all()

    def wait_for(self, count: int = 1, timeout: float = 10.0) -> list[ReceivedMessage]:
        """Wait until at least ``count`` messages are here; returns a copy of the list.

        Raises AssertionError after ``timeout`` seconds, listing what did
        arrive and the connections that delivered nothing.
        """
        with self._arrival:
            if self._arrival.wait_for(lambda: len(self) >= count, timeout):
                return list(self)
            arrived = list(self)
        lines = [f"expected {count} message(s) within {timeout:g} s, {len(arrived)} arrived"
                 + (":" if arrived else "")]
        lines += [f"  {n}. from {m.envelope_from!r} to {m.envelope_to!r}, subject {m.message['Subject']!r}"
                  for n, m in enumerate(arrived, 1)]
        delivering = {id(m.session) for m in arrived}
        empty = [s for s in list(self._sessions) if id(s) not in delivering]
        if empty:
            lines.append(f"connections that delivered nothing: {len(empty)}")
            lines += [f"  {' '.join(s.commands)}" for s in empty[-5:]]
        raise AssertionError("\n".join(lines))


@dataclass
class _Fault:
    verb: str
    count: int
    reply: str | None  # None: drop the connection
    after: bool = False


def _reply(code: int, text: str | None, default: str) -> str:
    if not 400 <= code <= 599:
        raise ValueError(f"code must be a 4xx or 5xx SMTP reply code, not {code}")
    return f"{code} {text if text is not None else default}"


def _verb(command: str) -> str:
    verb = command.upper()
    if verb not in VERBS:
        raise ValueError(f"unknown SMTP command {command!r}; one of {sorted(VERBS)}")
    return verb


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
                                   **CLIENT_SECURITY[self.mode], **overrides}
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
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
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
        return AuthResult(success=ok, handled=False, auth_data=user if ok else None)


class _Handler:
    """aiosmtpd hooks; every handle_* attribute here is one."""

    def __init__(self, owner: SMTPServer) -> None:
        self.owner = owner

    async def handle_EHLO(self, protocol: _SMTP, session: aiosmtpd.smtp.Session, envelope: Envelope,
                          hostname: str, responses: list[str]) -> list[str]:
        # With this hook aiosmtpd leaves the host name to it.
        session.host_name = hostname
        if self.owner.pipelining:
            responses.insert(len(responses) - 1, "250-PIPELINING")
        return responses

    async def handle_MAIL(self, protocol: _SMTP, session: aiosmtpd.smtp.Session, envelope: Envelope,
                          address: str, options: list[str]) -> str:
        if not session.authenticated:
            return "530 5.7.0 Authentication required"
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 OK"

    async def handle_RCPT(self, protocol: _SMTP, session: aiosmtpd.smtp.Session, envelope: Envelope,
                          address: str, options: list[str]) -> str:
        if not address.strip("<> "):  # RCPT TO:<> names nobody; real servers refuse it
            return "501 5.1.3 Bad recipient address syntax"
        refusal = self.owner._refusal(address)
        if refusal is not None:
            return refusal
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(options)
        return "250 OK"

    async def handle_DATA(self, protocol: _SMTP, session: aiosmtpd.smtp.Session, envelope: Envelope) -> str:
        raw = envelope.original_content or b""
        mail_from = envelope.mail_from or ""
        self.owner._arrived(ReceivedMessage(mail_from, list(envelope.rcpt_tos), bytes(raw),
                                            protocol.session_record()))
        return "250 2.0.0 Message accepted for delivery"

    async def handle_exception(self, error: Exception) -> str:
        # Errors inside a session, e.g. a client that rejected the
        # certificate during STARTTLS: expected in tests, kept quiet.
        return f"500 Error: ({type(error).__name__}) {error}"


class _QuietSession(aiosmtpd.smtp.Session):
    # aiosmtpd warns whenever it stores login_data after a successful AUTH;
    # a plain attribute takes the value silently.
    login_data = None


class _SMTP(aiosmtpd.smtp.SMTP):
    """One client connection: records each command and applies armed faults before handling it."""

    def __init__(self, owner: SMTPServer, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.owner = owner
        self._record: Session | None = None
        self._dropped = False
        self._drop_at_final_reply = False
        self.rejected_login: str | None = None  # the reply of a login reject_logins() failed
        self._turned_away = False  # over max_connections: answered 421, never served
        self._data_lines: int | None = None  # lines received since DATA began; None: not in DATA
        self._smtp_methods = {verb: self._recorded(verb, method) for verb, method in self._smtp_methods.items()}

    def _create_session(self) -> aiosmtpd.smtp.Session:
        return _QuietSession(self.loop)

    def session_record(self) -> Session:
        if self._record is None:
            assert self.session is not None
            peer = self.session.peer
            self._record = self.owner._new_session((str(peer[0]), int(peer[1])) if peer else ("", 0))
        return self._record

    def _tls_active(self) -> bool:
        return self._tls_protocol is not None or self.owner.mode == "ssl"

    def _drop(self) -> None:
        self._dropped = True
        if self.transport is not None:
            self.transport.close()

    def _recorded(self, verb: str, method: Callable[[str], Awaitable[None]]) -> Callable[[str], Awaitable[None]]:
        async def run(arg: str) -> None:
            record = self.session_record()
            record.commands.append(verb)
            tls = self._tls_active()
            if verb == "AUTH" and record.tls_at_auth is None:
                record.tls_at_auth = tls
            elif verb == "MAIL" and record.tls_at_mail is None:
                record.tls_at_mail = tls
            fault = self.owner._take_fault(verb)
            if fault is not None and fault.reply is not None:
                await self.push(fault.reply)
                return
            if fault is not None and not fault.after:
                self._drop()
                return
            self._drop_at_final_reply = fault is not None
            if self.owner.mode == "starttls" and not tls and verb not in ALLOWED_BEFORE_TLS:
                await self.push("530 5.7.0 Must issue a STARTTLS command first")
                return
            if verb == "DATA":
                self._data_lines = 0
            try:
                await method(arg)
            finally:
                self._data_lines = None
        return run

    def data_received(self, data: bytes) -> None:
        # aiosmtpd keeps each line of DATA as an object of its own, about 100
        # bytes even for an empty line: its byte limit alone lets 32 MiB of
        # empty lines cost gigabytes.  Too many lines end the connection.
        if self._data_lines is not None:
            self._data_lines += data.count(b"\n")
            if self._data_lines > self.owner.data_size_limit // 32 and not self._dropped:
                if isinstance(self.transport, asyncio.WriteTransport):
                    self.transport.write(b"552 5.3.4 Too many lines in the message; closing connection\r\n")
                self._drop()
                return
        if not self._dropped:
            super().data_received(data)

    async def push(self, status: Any) -> None:
        if self._dropped:
            return
        if self._drop_at_final_reply:
            text = status.decode("ascii", "replace") if isinstance(status, bytes) else str(status)
            if not text.startswith("3"):  # 334 and 354 ask for more; the final reply is replaced
                self._drop()
                return
        await super().push(status)

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        if self not in self.owner._open and len(self.owner._open) >= self.owner.max_connections:
            self._turned_away = True
            assert isinstance(transport, asyncio.WriteTransport)
            transport.write(b"421 4.7.0 Too many connections, try again later\r\n")
            transport.close()
            return
        super().connection_made(transport)
        self.owner._open.add(self)

    def connection_lost(self, error: Exception | None) -> None:
        if self._turned_away:
            return
        self.owner._open.discard(self)
        super().connection_lost(error)


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
