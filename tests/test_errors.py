"""The README's "What can go wrong" table and its notes, row by row, through a real SMTP server: each case
checks the exception class its row names, and the moment the row gives from what the server recorded."""

import email.errors
import pathlib
import smtplib
import socket
import ssl

import jinja2
import jinja2.exceptions
import pytest

from corvenda.mailer import EasyMailer
from fakes import Str

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def readme_rows():
    """{situation: (exception cell, when cell)} of the table under "What can go wrong"."""
    section = README.read_text(encoding="utf-8").split("## What can go wrong", 1)[1].split("\n## ", 1)[0]
    table = [line.strip(" |").split(" | ") for line in section.splitlines() if line.startswith("| ")]
    return {situation: (exception, when) for situation, exception, when in table[1:]}  # after the heading


def commands(server):
    return [verb for session in server.sessions for verb in session.commands]


def logged_in(server):
    return any(session.login for session in server.sessions)


# What each "When" of the table means in what the server saw.
WHEN = {
    **dict.fromkeys(["before connecting", "at construction", "connecting"], lambda server: server.sessions == []),
    **dict.fromkeys(["connecting, before login", "before login"], lambda server: "AUTH" not in commands(server)),
    "at login": lambda server: "AUTH" in commands(server) and not logged_in(server),
    "at submission, after login; no DATA is sent": lambda server: logged_in(server) and "DATA" not in commands(server),
    "at submission": lambda server: logged_in(server) and "MAIL" in commands(server),
    "any time after connecting": lambda server: commands(server) != [],
}


def unused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def send(server, options=None, **arguments):
    server.mailer(**(options or {})).send(**{"to": "ann@example.org", "subject": "Hi", "body": "x", **arguments})


def template(server, name="notification", subject="Hi", context=None):
    server.mailer().send_template("ann@example.org", subject, name, context or {"title": "t", "message": "m"})


# (situation as the README starts it, exception, act(server)); the README row gives the "When".
CASES = {
    "str-subclass-subject": ("Wrong argument", TypeError, lambda s: send(s, subject=Str("Hi"))),
    "path-attachment": ("An attachment given", TypeError, lambda s: send(s, attachments=[pathlib.Path()])),
    "ssl-and-tls": ("`use_ssl=True`", ValueError, lambda s: s.mailer(use_ssl=True, use_tls=True)),
    "no-template-dir": ("A template directory", FileNotFoundError, lambda s: s.mailer(template_dir="/nonexistent")),
    "record-without-data": ("An attachment record", KeyError, lambda s: send(s, attachments=[{"filename": "a.txt"}])),
    "content-type-without-slash": ("A `content_type`", ValueError, lambda s: send(s, attachments=[
        {"filename": "a", "data": b"", "content_type": "pdf"}])),
    "missing-file": ("An attachment path", FileNotFoundError, lambda s: send(s, attachments=["/no/a.pdf"])),
    "unknown-template": ("`send_template`", jinja2.TemplateNotFound, lambda s: template(s, name="nothing")),
    "missing-variable": ("`send_template`", jinja2.UndefinedError, lambda s: template(s, context={"title": "t"})),
    "bad-syntax": ("`send_template`", jinja2.TemplateSyntaxError, lambda s: template(s, subject="{{ x ")),
    "nobody-listening": ("Nobody", ConnectionRefusedError, lambda s: send(s, {"port": unused_port()})),
    "untrusted-certificate": ("The certificate", ssl.SSLCertVerificationError, send),
    "no-starttls-offered": ("`use_tls=True`", smtplib.SMTPNotSupportedError, lambda s: send(s, {"use_tls": True})),
    "use-tls-forgotten": ("`use_tls=True`", smtplib.SMTPNotSupportedError, lambda s: send(s, {"use_tls": False})),
    "login-refused": ("Login", smtplib.SMTPAuthenticationError, lambda s: send(s, {"password": "wrong"})),
    "line-break": ("A line break", email.errors.HeaderWriteError, lambda s: send(s, subject="Hi\nthere")),
    "header-after-line-break": ("A line break", email.errors.HeaderParseError,
                                lambda s: send(s, reply_to="a@example.org\r\nBcc: x@example.org")),
    "non-ascii-envelope": ("An address with", UnicodeEncodeError, lambda s: send(s, bcc="zoë@example.org")),
    "display-name-with-comma": ("A recipient", smtplib.SMTPRecipientsRefused,
                                lambda s: send(s, to="O'Brien, Pat <pat@example.com>")),
    "two-addresses-in-one-string": ("A recipient", smtplib.SMTPRecipientsRefused,
                                    lambda s: send(s, to="ann@example.org, bob@example.org")),
    "sender-refused": ("Sender refused", smtplib.SMTPSenderRefused, lambda s: (s.fail_next("MAIL", code=550), send(s))),
    "recipients-refused": ("Sender refused", smtplib.SMTPRecipientsRefused,
                           lambda s: (s.refuse_recipients("ann@example.org"), send(s))),
    "message-refused": ("Sender refused", smtplib.SMTPDataError, lambda s: (s.fail_next("DATA", code=554), send(s))),
    "closed-at-data": ("The server closes", smtplib.SMTPServerDisconnected,
                       lambda s: (s.drop_connection("DATA"), send(s))),
}
# The server's security mode where it is not plain.
MODE = {"untrusted-certificate": "starttls", "use-tls-forgotten": "starttls", "closed-at-data": "ssl"}


# The part of an error's message the README quotes.
QUOTED = {
    **dict.fromkeys(["path-attachment", "no-starttls-offered", "use-tls-forgotten"], str),
    "line-break": lambda error: str(error).split(":")[0],
    "display-name-with-comma": lambda error: f"code {next(iter(error.recipients.values()))[0]}",
}


@pytest.mark.parametrize("case", CASES)
def test_each_row_raises_what_the_readme_says_when_it_says(case, _shared_servers, ca_pem, monkeypatch):
    prefix, error, act = CASES[case]
    [(situation, (exception_cell, when))] = [row for row in readme_rows().items() if row[0].startswith(prefix)]
    server = _shared_servers[MODE.get(case, "plain")]
    server.wait_idle(2.0)
    server.clear()
    if case == "untrusted-certificate":
        monkeypatch.delenv("SSL_CERT_FILE")

    with pytest.raises(error) as caught:
        act(server)
    server.wait_idle(5.0)

    assert type(caught.value) is error
    assert f"`{error.__name__}" in exception_cell or f".{error.__name__}" in exception_cell, exception_cell
    assert WHEN[when](server), (when, [s.commands for s in server.sessions])
    assert server.messages == []
    if case in QUOTED:  # what the user sees, quoted in the row
        assert QUOTED[case](caught.value) in f"{situation} {exception_cell}"


def test_every_row_of_the_table_has_a_case():
    covered = {situation for situation in readme_rows()
               if any(situation.startswith(prefix) for prefix, *_ in CASES.values())}
    assert covered == set(readme_rows())
    assert {when for _, when in readme_rows().values()} <= set(WHEN)


# -- what the notes under the table say -----------------------------------------


@pytest.fixture
def one_second_default_timeout():
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(1)
    yield
    socket.setdefaulttimeout(previous)


@pytest.mark.usefixtures("one_second_default_timeout")
@pytest.mark.parametrize("target, options, error, match", [
    ("silent", {"use_ssl": True}, TimeoutError, "timed out"),  # the TLS handshake waits
    ("silent", {"use_ssl": False}, smtplib.SMTPServerDisconnected, "timed out"),  # so does the greeting
    ("plain", {"use_ssl": True}, ssl.SSLError, "WRONG_VERSION_NUMBER"),  # the greeting is no TLS record
    ("ssl", {"use_ssl": False, "use_tls": True}, smtplib.SMTPServerDisconnected, "timed out"),
])
def test_silent_servers_and_mixed_up_ports_fail_as_documented(_shared_servers, ca_pem, target, options, error, match):
    with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts and never says a word
        if target == "silent":
            mailer = EasyMailer("127.0.0.1", silent.getsockname()[1], "u", "p", **options)
        else:
            mailer = _shared_servers[target].mailer(**options)
        with pytest.raises(error, match=match):
            mailer.send("ann@example.org", "Hi", body="x")
    assert all(server.messages == [] for server in _shared_servers.values())


def test_a_partly_refused_recipient_list_is_not_reported(plain_server):
    plain_server.refuse_recipients("gone@example.org")
    assert plain_server.mailer().send(["ann@example.org", "gone@example.org"], "Hi", body="x") is None
    [message] = plain_server.messages
    assert message.envelope_to == ["ann@example.org"]
