"""Type information for the corvenda.mailer extension module."""

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
from typing import Any, Dict as Dict, List as List, Optional as Optional, Union as Union, TypedDict, NotRequired

from corvenda.template import TemplateEngine as TemplateEngine

datetime = _datetime_module.datetime

class AttachmentRecord(TypedDict):
    filename: str
    data: bytes
    content_type: NotRequired[str | None]

_Recipients = str | list[str]
_Attachments = list[str | AttachmentRecord | dict[str, Any]]

class EasyMailer:
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
    ) -> None: ...
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
    ) -> None: ...
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
    ) -> None: ...
    def _build_message(
        self,
        to: _Recipients,
        subject: str,
        body: str | None,
        html: str | None,
        cc: _Recipients | None,
        sender: str | None,
        sender_name: str | None,
        attachments: _Attachments | None,
        reply_to: str | None,
    ) -> MIMEMultipart: ...
    @staticmethod
    def _attach_file(msg: MIMEMultipart, filepath: str) -> None: ...
    @staticmethod
    def _attach_binary(msg: MIMEMultipart, item: dict[str, Any]) -> None: ...
    @staticmethod
    def _collect_recipients(to: _Recipients | None, cc: _Recipients | None, bcc: _Recipients | None) -> list[str]: ...
    def _do_send(self, msg: MIMEMultipart, recipients: list[str], sender: str) -> None: ...
