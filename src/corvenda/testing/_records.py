"""What a test server records: Session, ReceivedMessage (with its Attachments) and the Outbox."""

from __future__ import annotations

import email.policy
import functools
import html.parser
import re
import threading
from dataclasses import dataclass, field
from email.message import EmailMessage
from email.parser import BytesParser
from typing import Any

__all__ = ["Attachment", "Outbox", "ReceivedMessage", "Session"]


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
        super().__init__()  # character references resolved (convert_charrefs)
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
