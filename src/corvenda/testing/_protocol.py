"""One client connection of a test server: aiosmtpd's handler hooks, the SMTP protocol subclass and the faults it applies."""

from __future__ import annotations

import asyncio
import socket
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import aiosmtpd.smtp
from aiosmtpd.smtp import Envelope

from ._records import ReceivedMessage, Session

if TYPE_CHECKING:
    from ._server import SMTPServer

# The verbs a fault can be armed for: every command aiosmtpd implements.
VERBS = frozenset({"HELO", "EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA",
                   "RSET", "NOOP", "VRFY", "EXPN", "HELP", "QUIT"})
# What a "starttls" server answers before the client has started TLS.
ALLOWED_BEFORE_TLS = frozenset({"EHLO", "HELO", "NOOP", "STARTTLS", "QUIT"})


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
        raise ValueError(f"unknown SMTP command {command!r}; one of {', '.join(sorted(VERBS))}")
    return verb


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
            assert isinstance(peer, tuple)  # a TCP connection's address
            self._record = self.owner._new_session((str(peer[0]), int(peer[1])))
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
        if self._drop_at_final_reply:  # aiosmtpd, and this module, push str
            if not str(status).startswith("3"):  # 334 and 354 ask for more; the final reply is replaced
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
        # Each reply goes out at once.  A server offering PIPELINING answers a
        # group of commands with several writes; with Nagle's algorithm the
        # second waits for the client's delayed acknowledgement of the first,
        # some 40 ms per message, where a real server answers the group in one
        # write.
        raw = transport.get_extra_info("socket")
        if raw is not None and raw.family in (socket.AF_INET, socket.AF_INET6):
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().connection_made(transport)
        self.owner._open.add(self)

    def connection_lost(self, error: Exception | None) -> None:
        if self._turned_away:
            return
        self.owner._open.discard(self)
        super().connection_lost(error)

