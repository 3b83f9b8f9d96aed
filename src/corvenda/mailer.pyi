"""Send e-mail over SMTP in one call: text, HTML, attachments and templates.

Every send builds one message, opens one connection, logs in, submits the
message and closes the connection.  Failures are the standard library's own
exceptions; see the README's "What can go wrong".
"""

import datetime as _datetime_module
import mimetypes as mimetypes
import smtplib as smtplib
import ssl as ssl
from email import encoders as encoders
from email.mime.base import MIMEBase as MIMEBase
from email.mime.multipart import MIMEMultipart as MIMEMultipart
from email.mime.text import MIMEText as MIMEText
from email.utils import formataddr as formataddr, formatdate as formatdate
from pathlib import Path as Path
from typing import Any, Dict as Dict, List as List, NotRequired, Optional as Optional, TypedDict, Union as Union, overload

from corvenda.template import TemplateEngine as TemplateEngine

datetime = _datetime_module.datetime

class AttachmentRecord(TypedDict):
    """An attachment from memory, an item of ``attachments``.

    A name for type checkers only: the module does not define it at run
    time, so import it under ``if typing.TYPE_CHECKING:``.  At run time the
    record must be exactly a ``dict``.
    """

    filename: str
    """The name mail clients show and save the attachment under."""
    data: bytes | bytearray | memoryview | str
    """The content, sent Base64-encoded.  Bytes-like data is sent as it is;
    a ``str`` is sent as its UTF-8 encoding (give a ``content_type`` such as
    ``"text/plain; charset=utf-8"`` so readers decode it as UTF-8)."""
    content_type: NotRequired[str | None]
    """A MIME type such as ``"image/png"``; guessed from ``filename`` when
    missing, None or empty, and ``application/octet-stream`` when the name
    tells nothing."""

# One address, or a list of them.  A string may also hold several
# comma-separated addresses for the headers, but the envelope then gets it
# as one recipient: pass a list for several recipients.
_Recipients = str | list[str]
# A list literal is checked against the mixed form.  `list` is invariant, so
# a variable already typed list[str] or list[AttachmentRecord] is accepted by
# the second overload of send and send_template (mypy cannot infer a literal
# against a union of list types, hence two overloads instead of one union).
_Attachments = list[str | AttachmentRecord]
_UniformAttachments = list[str] | list[AttachmentRecord]

class EasyMailer:
    """A configured SMTP client that sends one message per call.

    The configuration is read from these attributes at each send, so
    changing one affects the next send.
    """

    host: str
    port: int
    username: str
    password: str
    use_ssl: bool
    use_tls: bool
    default_sender: str
    _template_engine: TemplateEngine

    def __init__(
        self,
        host: str,
        port: int,
        username: str,
        password: str,
        use_ssl: bool = True,
        use_tls: bool = False,
        default_sender: str | None = None,
        template_dir: str | None = None,
    ) -> None:
        """Configure the server, the login and the connection security.

        Nothing is sent and no connection is opened here.

        Args:
            host: the SMTP server's host name (checked against its
                certificate when TLS is used).
            port: its port: usually 465 with ``use_ssl`` (implicit TLS),
                587 with ``use_tls`` (STARTTLS), 25 for plain SMTP.
            username: the login name; every send logs in.
            password: the login password.
            use_ssl: connect with implicit TLS (the default).
            use_tls: connect in plain text and upgrade with STARTTLS before
                logging in; requires ``use_ssl=False``.
            default_sender: the sender address when a send gives none;
                ``username`` when None or empty.
            template_dir: a directory of templates searched before the
                built-in ones; None for the built-in ones only.

        Raises:
            TypeError: an argument of the wrong type (exact built-in types:
                subclasses are refused; ``port`` must be an ``int``).
            ValueError: ``use_ssl`` and ``use_tls`` both true.
        """
    @overload
    def send(
        self,
        to: _Recipients,
        subject: str,
        body: str | None = None,
        html: str | None = None,
        cc: _Recipients | None = None,
        bcc: _Recipients | None = None,
        sender: str | None = None,
        sender_name: str | None = None,
        attachments: _Attachments | None = None,
        reply_to: str | None = None,
    ) -> None:
        """Build one message and deliver it over one new connection.

        Args:
            to: recipient address or addresses, written in the To header
                and given to the server.  An address may carry a display
                name (``"Zoë <zoe@example.org>"``); quote a name with a
                comma or quote, as ``email.utils.formataddr`` does.  Each
                string is one recipient: several go in a list.
            subject: the Subject header, any Unicode text.
            body: the plain-text body.
            html: the HTML body; with ``body`` too, both are sent as
                alternatives and clients show the HTML one.
            cc: addresses written in the Cc header and given to the server.
            bcc: addresses given to the server only, never written in a
                header.
            sender: the envelope sender and From address; else
                ``default_sender``.
            sender_name: a display name for From.
            attachments: file paths (read now; a ``str``, not a
                ``pathlib.Path``) and in-memory records, in the order they
                appear in the message.
            reply_to: the Reply-To address.

        Raises:
            TypeError: an argument of the wrong type, before connecting.
            KeyError: a record without "filename" or "data", before
                connecting.
            ValueError: a content type without "/", before connecting.
            FileNotFoundError: an attachment path that is not a file,
                before connecting.
            smtplib.SMTPException: the server refused the login, the sender,
                every recipient or the message (``smtp_code`` 4xx is
                temporary, 5xx permanent); SMTPRecipientsRefused with 501
                for a recipient that is not one parseable address;
                SMTPNotSupportedError when the server offers no STARTTLS
                or no login (``use_tls=True`` forgotten).
            email.errors.MessageError: a line break in a header value
                (HeaderWriteError, or HeaderParseError when what follows
                looks like a header), after login; nothing is sent.
            OSError: the connection failed or timed out; ``ssl.SSLError``
                for TLS failures.
        """
    @overload
    def send(
        self,
        to: _Recipients,
        subject: str,
        body: str | None = None,
        html: str | None = None,
        cc: _Recipients | None = None,
        bcc: _Recipients | None = None,
        sender: str | None = None,
        sender_name: str | None = None,
        attachments: _UniformAttachments = ...,
        reply_to: str | None = None,
    ) -> None:
        """As above, for a list of file paths only or of records only."""
    @overload
    def send_template(
        self,
        to: _Recipients,
        subject: str,
        template_name: str,
        context: dict[str, Any] | None = None,
        cc: _Recipients | None = None,
        bcc: _Recipients | None = None,
        sender: str | None = None,
        sender_name: str | None = None,
        attachments: _Attachments | None = None,
        reply_to: str | None = None,
    ) -> None:
        """Render ``template_name`` (.html and .txt) and the subject, then send.

        Args:
            to: as for ``send``.
            subject: a template itself, rendered with ``context``; never put
                text from end users in it, put it in ``context``.
            template_name: the template name without suffix, e.g.
                ``"verification_code"``.
            context: the template variables.  The variable ``occurred_at``
                (local time, ``YYYY-MM-DD HH:MM:SS``) is added when missing;
                a non-empty dictionary you pass receives it and keeps it.
            cc: as for ``send``.
            bcc: as for ``send``.
            sender: as for ``send``.
            sender_name: as for ``send``.
            attachments: as for ``send``.
            reply_to: as for ``send``.

        Raises:
            jinja2.TemplateNotFound: no such template.
            jinja2.UndefinedError: a variable the template requires is
                missing.
            Everything ``send`` raises.
        """
    @overload
    def send_template(
        self,
        to: _Recipients,
        subject: str,
        template_name: str,
        context: dict[str, Any] | None = None,
        cc: _Recipients | None = None,
        bcc: _Recipients | None = None,
        sender: str | None = None,
        sender_name: str | None = None,
        attachments: _UniformAttachments = ...,
        reply_to: str | None = None,
    ) -> None:
        """As above, for a list of file paths only or of records only."""
    def _build_message(
        self,
        to: _Recipients,
        subject: str,
        body: str | None,
        html: str | None,
        cc: _Recipients | None,
        sender: str | None,
        sender_name: str | None,
        attachments: _Attachments | _UniformAttachments | None,
        reply_to: str | None,
    ) -> MIMEMultipart:
        """The complete message ``send`` would deliver, without Bcc."""
    @staticmethod
    def _attach_file(msg: MIMEMultipart, filepath: str) -> None:
        """Append the file at ``filepath`` to ``msg`` as an attachment."""
    @staticmethod
    def _attach_binary(msg: MIMEMultipart, item: AttachmentRecord) -> None:
        """Append the in-memory record ``item`` to ``msg`` as an attachment."""
    @staticmethod
    def _collect_recipients(to: _Recipients | None, cc: _Recipients | None, bcc: _Recipients | None) -> list[str]:
        """The envelope recipients: To, then Cc, then Bcc."""
    def _do_send(self, msg: MIMEMultipart, recipients: list[str], sender: str) -> None:
        """Connect, log in and submit ``msg`` to ``recipients`` from ``sender``."""
