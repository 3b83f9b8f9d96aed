"""Many messages over one login: ``Connection`` and ``Pool``.

``EasyMailer.send`` opens, secures and logs in a connection for every
message.  For a newsletter or a notification fan-out that login is most of
the cost, and a provider may rate-limit it.  A ``Connection`` logs in once
and sends message after message; a ``Pool`` keeps several connections busy
from threads::

    from corvenda.bulk import Connection, Pool

    with Connection(mailer) as connection:
        for user in users:
            result = connection.send(user.email, "Weekly summary", body=text,
                                     unsubscribe=f"https://example.com/u/{user.token}")
            print(result.message_id, result.refused, result.reply)

    with Pool(mailer, size=8) as pool:
        for result in pool.send_all({"to": u.email, "subject": "Hi", "body": text} for u in users):
            ...

A message is built exactly as ``mailer.send`` builds it (the same
``_build_message``, ``_collect_recipients`` and sender rule) with two
additions: a ``Message-ID`` header when the message has none, and, on
request, the one-click unsubscribe headers of RFC 8058.

Server limits are handled without sending a message twice: a ``452`` (too
many messages on this connection) or ``421`` reply, or a connection the
server dropped, makes the connection reconnect and try that message once
more.  When the connection fails after the end of the message text was sent
and before the server's reply, the server may or may not have the message:
it is not sent again, and its result says ``outcome == "unknown"``.
"""

from __future__ import annotations

import queue
import smtplib
import socket
import threading
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Future
from dataclasses import dataclass, field
from email.message import Message
from email.utils import make_msgid
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

from . import _bulk
from .mailer import EasyMailer

if TYPE_CHECKING:
    from .mailer import AttachmentRecord

__all__ = ["Connection", "Pool", "Result"]

type To = str | list[str]
type Recipients = str | list[str] | None
type Attachments = list[str | AttachmentRecord] | list[str] | list[AttachmentRecord] | None
type Unsubscribe = str | Sequence[str] | None

# Replies after which the same message may go out again on a new connection:
# the server said it did not take it and (421) that it is closing.
_RECONNECT_CODES = frozenset({421, 452})


@dataclass(frozen=True, slots=True)
class Result:
    """What happened to one message.

    ``outcome`` is "sent" when the server accepted the message with ``reply``
    (its final reply: code and text, which usually carries the queue id), and
    "unknown" when the connection failed after the whole message was sent and
    before that reply: the server may have it, so it was not sent again;
    ``error`` holds the failure.  ``refused`` maps each recipient the server
    refused to its (code, text); the message went to ``accepted``.
    """

    message_id: str
    accepted: list[str]
    refused: dict[str, tuple[int, str]]
    reply: tuple[int, str] | None
    outcome: Literal["sent", "unknown"]
    error: OSError | None = field(default=None, repr=False)


def _unsubscribe_headers(unsubscribe: Unsubscribe) -> tuple[str, str] | None:
    """The List-Unsubscribe and List-Unsubscribe-Post values for the given URIs, checked."""
    if unsubscribe is None:
        return None
    uris = [unsubscribe] if isinstance(unsubscribe, str) else list(unsubscribe)
    if not uris:
        raise ValueError("unsubscribe needs at least one URI")
    for uri in uris:
        if not isinstance(uri, str):
            raise TypeError(f"unsubscribe URIs must be str, not {type(uri).__name__}")
        if not uri.startswith(("https://", "mailto:")):
            raise ValueError(f"unsubscribe URI must start with https:// or mailto:, not {uri!r}")
        if any(c in uri for c in "<>,\r\n\t ") or not uri.isascii():
            raise ValueError(f"unsubscribe URI must be ASCII without blanks, commas or angle brackets: {uri!r}")
    if not any(uri.startswith("https://") for uri in uris):
        raise ValueError("one-click unsubscribe needs an https:// URI (a mailto: may come with it)")
    return ", ".join(f"<{uri}>" for uri in uris), "List-Unsubscribe=One-Click"


def _domain(address: str, fallback: str) -> str:
    _, at, domain = address.rpartition("@")
    domain = domain.strip().rstrip(">")
    return domain if at and domain else fallback


class _TemplateRoute:
    """Stands in for the mailer in ``EasyMailer.send_template`` so that its
    rendered message goes through a Connection's send."""

    def __init__(self, connection: Connection, unsubscribe: Unsubscribe) -> None:
        self._template_engine = connection.mailer._template_engine
        self._connection = connection
        self._unsubscribe = unsubscribe
        self.result: Result | None = None

    def send(self, **arguments: Any) -> None:
        self.result = self._connection.send(**arguments, unsubscribe=self._unsubscribe)


class Connection:
    """One logged-in SMTP connection for many messages, usable with ``with``.

    mailer              the EasyMailer whose server, login, security mode,
                        default sender and templates are used
    max_per_connection  messages after which the connection is renewed
                        (servers cap them; 100 is a common limit)
    idle_timeout        seconds without a message after which the next one
                        starts on a new connection (servers drop idle
                        clients; 0 renews before every message)
    timeout             seconds a socket operation may wait once connected
                        (None: no limit)

    ``send`` and ``send_template`` take the parameters of the mailer's methods
    and ``unsubscribe``; each returns a Result.  A connection is opened on
    entering the ``with`` block or by the first message, and closed (QUIT) by
    ``close()`` or leaving the block.  One Connection is for one thread at a
    time; a Pool gives each of its threads its own.

    A send interrupted by something other than the failures above (a signal
    handler's SystemExit, KeyboardInterrupt, a time limit's exception) is
    raised as it is, and the connection is dropped without QUIT: a half-done
    exchange is never reused; the next message logs in again.
    """

    def __init__(self, mailer: EasyMailer, *, max_per_connection: int = 100, idle_timeout: float = 30.0,
                 timeout: float | None = 60.0) -> None:
        if max_per_connection < 1:
            raise ValueError(f"max_per_connection must be at least 1, not {max_per_connection}")
        if idle_timeout < 0:
            raise ValueError(f"idle_timeout must not be negative, not {idle_timeout}")
        self.mailer = mailer
        self.max_per_connection = max_per_connection
        self.idle_timeout = idle_timeout
        self.timeout = timeout
        self._server: smtplib.SMTP | None = None
        self._sent_here = 0      # messages the current connection carried
        self._last_used = 0.0
        self._lock = threading.Lock()
        #: Connections opened so far (logins made).
        self.logins = 0

    def __repr__(self) -> str:
        state = "open" if self._server is not None else "closed"
        return f"<Connection {state} to {self.mailer.host}:{self.mailer.port}>"

    # -- lifetime ---------------------------------------------------------------

    def open(self) -> None:
        """Connect, secure and log in now, unless connected already."""
        with self._lock:
            self._ensure_open()

    def close(self) -> None:
        """End the connection politely (QUIT); the next message opens a new one."""
        with self._lock:
            self._close(polite=True)

    def __enter__(self) -> Self:
        self.open()
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _ensure_open(self) -> smtplib.SMTP:
        if self._server is None:
            server = _bulk.open(self.mailer)
            self.logins += 1
            try:
                if server.sock is not None:
                    if self.timeout is not None:
                        server.sock.settimeout(self.timeout)
                    # Commands and message text go out in whole writes; without
                    # this a message's last segment waits for the server's delayed
                    # acknowledgement of the previous one.
                    server.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except BaseException:
                server.close()
                raise
            self._server = server
            self._sent_here = 0
            self._last_used = time.monotonic()
        return self._server

    def _close(self, *, polite: bool) -> None:
        server, self._server = self._server, None
        if server is None:
            return
        try:
            if polite:
                server.quit()
        except (smtplib.SMTPException, OSError):
            pass
        finally:
            server.close()

    # -- sending ----------------------------------------------------------------

    def send(self, to: To, subject: str, body: str | None = None, html: str | None = None,
             cc: Recipients = None, bcc: Recipients = None, sender: str | None = None,
             sender_name: str | None = None, attachments: Attachments = None,
             reply_to: str | None = None, *, unsubscribe: Unsubscribe = None) -> Result:
        """Send one message as ``mailer.send`` would build it; see the class and Result."""
        mailer = self.mailer
        unsubscribe_headers = _unsubscribe_headers(unsubscribe)
        msg = mailer._build_message(to=to, subject=subject, body=body, html=html, cc=cc, sender=sender,
                                    sender_name=sender_name, attachments=attachments, reply_to=reply_to)
        recipients = mailer._collect_recipients(to, cc, bcc)
        envelope_sender = sender if sender else mailer.default_sender
        if type(recipients) is not list:
            raise TypeError(f"recipients must be list, not {type(recipients).__name__}")
        if type(envelope_sender) is not str:
            raise TypeError(f"sender must be str, not {type(envelope_sender).__name__}")
        message_id = msg["Message-ID"]
        if message_id is None:
            message_id = make_msgid(domain=_domain(envelope_sender, str(mailer.host)))
            msg["Message-ID"] = message_id
        if unsubscribe_headers is not None:
            msg["List-Unsubscribe"], msg["List-Unsubscribe-Post"] = unsubscribe_headers
        with self._lock:
            return self._deliver(msg, recipients, envelope_sender, str(message_id))

    def send_template(self, to: To, subject: str, template_name: str,
                      context: dict[str, Any] | None = None, cc: Recipients = None, bcc: Recipients = None,
                      sender: str | None = None, sender_name: str | None = None,
                      attachments: Attachments = None, reply_to: str | None = None,
                      *, unsubscribe: Unsubscribe = None) -> Result:
        """Render like ``mailer.send_template`` and send the result through this connection."""
        route = _TemplateRoute(self, unsubscribe)
        # The mailer's own rendering road, with this connection's send at its end.
        render_and_send: Any = EasyMailer.send_template
        render_and_send(route, to, subject, template_name, context, cc, bcc, sender, sender_name, attachments,
                        reply_to)
        assert route.result is not None
        return route.result

    def _deliver(self, msg: Message, recipients: list[str], sender: str, message_id: str) -> Result:
        if self._server is not None and (self._sent_here >= self.max_per_connection
                                         or time.monotonic() - self._last_used > self.idle_timeout):
            self._close(polite=True)
        for attempt in (1, 2):
            server = self._ensure_open()
            try:
                accepted, refused, code, text, error = _bulk.submit(server, msg, sender, recipients)
            except (smtplib.SMTPSenderRefused, smtplib.SMTPDataError) as refusal:
                if refusal.smtp_code in _RECONNECT_CODES and attempt == 1:
                    self._close(polite=refusal.smtp_code != 421)
                    continue
                self._reset()
                raise
            except smtplib.SMTPRecipientsRefused as refusal:
                if attempt == 1 and any(code == 421 for code, _ in refusal.recipients.values()):
                    self._close(polite=False)
                    continue
                self._reset()
                raise
            except OSError:  # after the refusals: smtplib's exceptions are OSErrors too
                # Dropped, reset or timed out before the end of the message:
                # the server discards an unfinished transaction.
                self._close(polite=False)
                if attempt == 2:
                    raise
                continue
            except ValueError:
                raise  # a message or address that cannot be sent: refused before any write
            except BaseException:
                self._close(polite=False)
                raise
            self._sent_here += 1
            self._last_used = time.monotonic()
            if code is None:
                self._close(polite=False)
                return Result(message_id, accepted, refused, None, "unknown", error)
            return Result(message_id, accepted, refused, (code, text), "sent")
        raise AssertionError("unreachable")

    def _reset(self) -> None:
        """RSET after a refused transaction; a connection that fails it is closed."""
        if self._server is None:
            return
        try:
            code, _ = self._server.rset()
        except (smtplib.SMTPException, OSError):
            code = 0
        except BaseException:
            # Interrupted (a signal's handler raised) between RSET and its
            # reply: the reply would be read as the next command's.
            self._close(polite=False)
            raise
        if code != 250:
            self._close(polite=False)


_Job = tuple[Future[Result], str, tuple[Any, ...], dict[str, Any]]


class Pool:
    """``size`` Connections, each in a thread of its own, usable with ``with``.

    ``send`` and ``send_template`` take the Connection's parameters and return
    a ``concurrent.futures.Future`` of the Result; ``send_all`` sends the
    keyword dictionaries it is given and yields their Results in order.
    Threads overlap their waits for the network, so a pool of 8 multiplies
    the rate on a distant server.  ``close()`` (or leaving the block) sends
    everything already handed over, then closes the connections.
    Other keyword arguments go to each Connection.
    """

    def __init__(self, mailer: EasyMailer, size: int = 4, **options: Any) -> None:
        if size < 1:
            raise ValueError(f"size must be at least 1, not {size}")
        Connection(mailer, **options)  # check the options here, not in a thread
        self.mailer = mailer
        self.size = size
        self._options = options
        self._jobs: queue.SimpleQueue[_Job | None] = queue.SimpleQueue()
        self._closed = False
        self._close_lock = threading.Lock()
        self._connections: list[Connection] = []
        self._threads = [threading.Thread(target=self._work, name=f"corvenda-pool-{i}", daemon=True)
                         for i in range(size)]
        for thread in self._threads:
            thread.start()

    def __repr__(self) -> str:
        return f"<Pool size={self.size} to {self.mailer.host}:{self.mailer.port}{' closed' if self._closed else ''}>"

    @property
    def logins(self) -> int:
        """Connections opened so far by all threads."""
        return sum(connection.logins for connection in list(self._connections))

    def send(self, *args: Any, **kwargs: Any) -> Future[Result]:
        """Queue one message (Connection.send's parameters); its Future gives the Result."""
        return self._submit("send", args, kwargs)

    def send_template(self, *args: Any, **kwargs: Any) -> Future[Result]:
        """Queue one templated message (Connection.send_template's parameters)."""
        return self._submit("send_template", args, kwargs)

    def send_all(self, messages: Iterable[Mapping[str, Any]]) -> Iterator[Result]:
        """Send each keyword dictionary with send(); yield the Results in the same order.

        At most twice ``size`` messages wait at a time.  A failed message
        raises its exception here, as ``Executor.map`` does; the messages
        already handed over are still sent.
        """
        window: list[Future[Result]] = []
        for arguments in messages:
            window.append(self.send(**arguments))
            if len(window) >= 2 * self.size:
                yield window.pop(0).result()
        while window:
            yield window.pop(0).result()

    def close(self) -> None:
        """Send what was handed over, then close every connection and end the threads."""
        with self._close_lock:
            if not self._closed:
                self._closed = True
                for _ in self._threads:
                    self._jobs.put(None)
        for thread in self._threads:
            if thread is not threading.current_thread():
                thread.join()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _submit(self, kind: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Future[Result]:
        future: Future[Result] = Future()
        with self._close_lock:
            if self._closed:
                raise RuntimeError("the pool is closed")
            self._jobs.put((future, kind, args, kwargs))
        return future

    def _work(self) -> None:
        connection = Connection(self.mailer, **self._options)
        with self._close_lock:
            self._connections.append(connection)
        try:
            while (job := self._jobs.get()) is not None:
                future, kind, args, kwargs = job
                if not future.set_running_or_notify_cancel():
                    continue
                try:
                    result = getattr(connection, kind)(*args, **kwargs)
                except BaseException as error:
                    future.set_exception(error)
                else:
                    future.set_result(result)
        finally:
            connection.close()
