"""The floor: EasyMailer written directly in Python.

Same standard-library calls, in the same order, with the same decisions as
corvenda.mailer, and nothing else: no argument type checks, no caching.  A
compiled EasyMailer has nothing to gain over this except interpreter
overhead, so it is the baseline every figure in bench.py is measured against.
"""

import email.message
import email.utils
import mimetypes
import re
import smtplib
import ssl
from datetime import datetime
from email import encoders
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate
from pathlib import Path

from corvenda.template import TemplateEngine

__all__ = ["EasyMailer", "collect_recipients"]

# A MIME token (RFC 2045): printable ASCII less blanks and tspecials.
_TOKEN = re.compile(r"[!#-'*+\-.0-9A-Z^-~]+")


def _add_disposition(part, filename):
    name = format(filename, "")
    if not name or _TOKEN.fullmatch(name):
        part.add_header("Content-Disposition", "attachment; filename=" + name)
        return
    if 43 + 12 * len(name) > 998:
        encoded = email.utils.encode_rfc2231(name, "utf-8")
        if 43 + len(encoded) > 998:
            value, start, index = "attachment", 0, 0
            while start < len(encoded):
                end = min(len(encoded), start + 60)
                if end < len(encoded):
                    if encoded[end - 1] == "%":
                        end -= 1
                    elif encoded[end - 2] == "%":
                        end -= 2
                value += f"; filename*{index}*={encoded[start:end]}"
                start, index = end, index + 1
            part.add_header("Content-Disposition", value)
            return
    part.add_header("Content-Disposition", "attachment", filename=name)


def _display_names(value):
    if not isinstance(value, str) or value.isascii():
        return value
    pairs = email.utils.getaddresses([value])
    if not pairs or any(not addr or not addr.isascii() for _, addr in pairs):
        return value
    return ", ".join(formataddr(pair) for pair in pairs)


def _address_header(value):
    if isinstance(value, (list, tuple, set, frozenset)):
        value = ", ".join(value)
    return _display_names(value)


def _serialise(msg):
    if isinstance(msg, email.message.Message):
        return msg.as_string(maxheaderlen=78)
    return msg.as_string()


class EasyMailer:
    def __init__(self, host, port, username, password, use_ssl=True, use_tls=False,
                 default_sender=None, template_dir=None):
        if use_ssl and use_tls:
            raise ValueError("use_ssl and use_tls cannot both be True.")
        self.host = host
        self.port = port
        self.username = username
        self.password = password
        self.use_ssl = use_ssl
        self.use_tls = use_tls
        self.default_sender = default_sender or username
        self._template_engine = TemplateEngine(template_dir)

    def send(self, to, subject, body=None, html=None, cc=None, bcc=None, sender=None,
             sender_name=None, attachments=None, reply_to=None):
        msg = self._build_message(to=to, subject=subject, body=body, html=html, cc=cc,
                                  sender=sender, sender_name=sender_name,
                                  attachments=attachments, reply_to=reply_to)
        recipients = self._collect_recipients(to, cc, bcc)
        self._do_send(msg, recipients, sender or self.default_sender)

    def send_template(self, to, subject, template_name, context=None, cc=None, bcc=None,
                      sender=None, sender_name=None, attachments=None, reply_to=None):
        context = context or {}
        context.setdefault("occurred_at", datetime.now().strftime("%Y-%m-%d %H:%M:%S"))
        html = self._template_engine.render(template_name + ".html", context)
        text = self._template_engine.render(template_name + ".txt", context)
        rendered_subject = self._template_engine.render_string(subject, context)
        self.send(to=to, subject=rendered_subject, body=text, html=html, cc=cc, bcc=bcc,
                  sender=sender, sender_name=sender_name, attachments=attachments,
                  reply_to=reply_to)

    def _build_message(self, to, subject, body, html, cc, sender, sender_name, attachments,
                       reply_to):
        msg = MIMEMultipart("mixed")
        from_addr = sender or self.default_sender
        msg["From"] = formataddr((sender_name, from_addr)) if sender_name else _display_names(from_addr)
        msg["To"] = _address_header(to)
        msg["Subject"] = subject
        msg["Date"] = formatdate(localtime=True)
        if cc:
            msg["Cc"] = _address_header(cc)
        if reply_to:
            msg["Reply-To"] = _display_names(reply_to)

        if body and html:
            alt = MIMEMultipart("alternative")
            alt.attach(MIMEText(body, "plain", "utf-8"))
            alt.attach(MIMEText(html, "html", "utf-8"))
            msg.attach(alt)
        elif html:
            msg.attach(MIMEText(html, "html", "utf-8"))
        elif body:
            msg.attach(MIMEText(body, "plain", "utf-8"))

        if attachments is not None:
            for item in attachments:
                if isinstance(item, dict):
                    self._attach_binary(msg, item)
                else:
                    self._attach_file(msg, item)
        return msg

    @staticmethod
    def _attach_file(msg, filepath):
        path = Path(filepath)
        if not path.is_file():
            raise FileNotFoundError("Attachment not found: " + filepath)
        content_type = mimetypes.guess_type(str(path))[0] or "application/octet-stream"
        maintype, subtype = content_type.split("/", 1)
        part = MIMEBase(maintype, subtype)
        with open(path, "rb") as f:
            part.set_payload(f.read())
        encoders.encode_base64(part)
        _add_disposition(part, path.name)
        msg.attach(part)

    @staticmethod
    def _attach_binary(msg, item):
        filename = item["filename"]
        data = item["data"]
        content_type = (item.get("content_type") or mimetypes.guess_type(filename)[0]
                        or "application/octet-stream")
        maintype, subtype = content_type.split("/", 1)
        part = MIMEBase(maintype, subtype)
        part.set_payload(data)
        encoders.encode_base64(part)
        _add_disposition(part, filename)
        msg.attach(part)

    @staticmethod
    def _collect_recipients(to, cc, bcc):
        recipients = []

        def _add(value):
            if value is None:
                return
            if isinstance(value, str):
                recipients.append(value)
            else:
                recipients.extend(value)

        _add(to)
        _add(cc)
        _add(bcc)
        return recipients

    def _do_send(self, msg, recipients, sender):
        ctx = ssl.create_default_context()
        if self.use_ssl:
            with smtplib.SMTP_SSL(self.host, self.port, context=ctx) as server:
                server.login(self.username, self.password)
                server.sendmail(sender, recipients, _serialise(msg))
        else:
            with smtplib.SMTP(self.host, self.port) as server:
                if self.use_tls:
                    server.starttls(context=ctx)
                server.login(self.username, self.password)
                server.sendmail(sender, recipients, _serialise(msg))


# The recipient collector as a plain function, for the per-call binding figure.
collect_recipients = EasyMailer._collect_recipients
