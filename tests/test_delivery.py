"""Delivery through a real SMTP server on 127.0.0.1 (corvenda.testing.SMTPServer).

Every check is made on what reached the server: the command sequence, the
login, the envelope and the DATA bytes.
"""

import email.errors
import email.utils
import os
import smtplib
import ssl
from concurrent.futures import ThreadPoolExecutor

import pytest

from corvenda import SECURITY_MODES

TO = ["ann@example.org", "bob@example.org"]
BCC = ["dan@example.org", "eve@example.org"]


def test_each_security_mode_delivers_with_bcc_only_in_the_envelope(server):
    server.mailer().send(TO, "Quarterly report", body="See the figures.", html="<p>See the figures.</p>",
                         cc="cat@example.org", bcc=BCC, sender_name="Corvenda Reports", reply_to="help@example.org")
    [session] = server.sessions
    user = server.credentials[0]
    tls = ["STARTTLS", "EHLO"] if server.mode == "starttls" else []
    assert session.commands == ["EHLO", *tls, "AUTH", "MAIL", *["RCPT"] * 5, "DATA", "QUIT"]
    assert session.tls_at_auth is session.tls_at_mail is (server.mode != "plain")
    assert session.logins == [server.credentials] and session.login == user
    [message] = server.messages
    assert message.session is session
    assert (message.envelope_from, message.envelope_to) == (user, TO + ["cat@example.org"] + BCC)
    assert not any(address.encode() in message.raw for address in BCC) and message["Bcc"] is None
    assert message["From"] == email.utils.formataddr(("Corvenda Reports", user))
    assert [a for _, a in email.utils.getaddresses([message["To"]])] == TO
    assert (message["Cc"], message["Reply-To"]) == ("cat@example.org", "help@example.org")
    assert message["Subject"] == "Quarterly report"
    assert email.utils.parsedate_to_datetime(message["Date"]).tzinfo is not None
    assert (message.text.strip(), message.html.strip()) == ("See the figures.", "<p>See the figures.</p>")


@pytest.mark.parametrize("default_sender, sender, expected", [
    (None, None, None),  # falls back to the login name
    ("noreply@example.org", None, "noreply@example.org"),
    ("noreply@example.org", "alerts@example.org", "alerts@example.org"),
])
def test_envelope_sender_and_from_header(plain_server, default_sender, sender, expected):
    plain_server.mailer(default_sender=default_sender).send("ann@example.org", "Hi", body="x", sender=sender)
    expected = expected or plain_server.credentials[0]
    [message] = plain_server.messages
    assert message.envelope_from == expected
    assert message["From"].addresses[0].addr_spec == expected


# In-memory data: text is sent as its UTF-8 bytes; bytes-like data as it is.
DATA = {
    "euro": ("price 5 €", "price 5 €".encode()),
    "accents-and-cjk": ("héllo\r\n東京\n", "héllo\r\n東京\n".encode()),
    "empty-text": ("", b""),
    "latin-1-bytes": ("h\xe9llo".encode("latin-1"), b"h\xe9llo"),
    "bytearray": (bytearray(b"\x00\xff\\u20ac"), b"\x00\xff\\u20ac"),
    "memoryview": (memoryview(b"\xe2\x82\xac"), b"\xe2\x82\xac"),
}


def test_attachments_and_non_ascii_text_arrive_intact(plain_server, tmp_path):
    binary = b".\r\n\x00\xff\xfe" + bytes(range(256)) * 40  # what trips naive encoders
    report = tmp_path / "report.csv"
    report.write_bytes(b"day,count\n.mon,1\r\ntue,2\n")
    plain_server.mailer().send("ann@example.org", "Prüfbericht № 7 — 東京", body="Grüße\n.\nEnde", attachments=[
        str(report), {"filename": "blob.bin", "data": binary},
        {"filename": "Übersicht.pdf", "data": b"%PDF-1.4", "content_type": "application/pdf"},
        *({"filename": f"{name}.txt", "data": data, "content_type": "text/plain; charset=utf-8"}
          for name, (data, _) in DATA.items())])
    [received] = plain_server.messages
    assert received["Subject"] == "Prüfbericht № 7 — 東京"
    assert received.text.replace("\r\n", "\n").rstrip("\n") == "Grüße\n.\nEnde"
    assert [(a.filename, a.data) for a in received.attachments] == [
        ("report.csv", report.read_bytes()), ("blob.bin", binary), ("Übersicht.pdf", b"%PDF-1.4"),
        *((f"{name}.txt", expected) for name, (_, expected) in DATA.items())]
    assert received.attachments[2].content_type == "application/pdf"


def test_send_template_delivers_a_rendered_builtin_template(plain_server):
    plain_server.mailer().send_template(
        "ann@example.org", "{{ title }} on {{ host }}", "notification", bcc="audit@example.org",
        context={"title": "Disk almost full", "host": "db-1", "message": "Usage <90%> & rising"},
        attachments=[{"filename": "usage.csv", "data": b"disk,used\n/,89\n", "content_type": "text/csv"}])
    [received] = plain_server.messages
    assert received.envelope_to == ["ann@example.org", "audit@example.org"]
    assert received["Subject"] == "Disk almost full on db-1"
    assert "Disk almost full" in received.text and "Usage <90%> & rising" in received.text
    assert "Sent " in received.text  # the layout's footer shows the occurred_at the mailer adds
    assert "Usage &lt;90%&gt; &amp; rising" in received.html and "<90%>" not in received.html
    assert [(a.filename, a.data) for a in received.attachments] == [("usage.csv", b"disk,used\n/,89\n")]


@pytest.mark.parametrize("server_mode, client_options, error", [
    ("plain", SECURITY_MODES["starttls"], smtplib.SMTPNotSupportedError),  # the server offers no STARTTLS
    ("starttls", SECURITY_MODES["plain"], smtplib.SMTPNotSupportedError),  # AUTH only after STARTTLS
    ("starttls", {}, ssl.SSLCertVerificationError),  # a certificate from a CA nobody trusts
    ("ssl", {}, ssl.SSLCertVerificationError),
])
def test_no_login_without_the_requested_encryption(make_server, monkeypatch, server_mode, client_options, error):
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    server = make_server(server_mode)
    with pytest.raises(error):
        server.mailer(**client_options).send("ann@example.org", "Hi", body="x")
    assert all(s.logins == [] and "AUTH" not in s.commands for s in server.sessions)
    assert server.messages == []


# What the email package raises for a header it cannot write safely.
HEADER_ERRORS = (ValueError, email.errors.MessageError)


@pytest.mark.parametrize("value", ["Hi\r\nBcc: victim@example.org", "Hi\nX-Injected: yes"], ids=["crlf", "lf"])
@pytest.mark.parametrize("field", ["subject", "reply_to", "sender_name", "attachment_name"])
def test_line_break_in_a_header_fails_and_sends_no_data(plain_server, field, value):
    """A break that would start a new header line is refused (a break and a blank is folding)."""
    arguments = {"subject": "Hello", "body": "x", field: value}
    if field == "attachment_name":
        arguments["attachments"] = [{"filename": arguments.pop(field), "data": b"x"}]
    with pytest.raises(HEADER_ERRORS):
        plain_server.mailer().send("ann@example.org", **arguments)
    assert not any("DATA" in s.commands for s in plain_server.sessions) and plain_server.messages == []


def wrong_password(error, server):
    [session] = server.sessions
    return error.smtp_code == 535 and session.logins[-1] == (server.credentials[0], "wrong") and session.login is None


FAILURES = {  # name: (fault armed before a send, client options, exception, check of it and the server)
    "wrong-password": (lambda server: None, {"password": "wrong"}, smtplib.SMTPAuthenticationError, wrong_password),
    "recipients-refused": (lambda server: server.refuse_recipients(*TO), {}, smtplib.SMTPRecipientsRefused,
                           lambda e, s: e.recipients == dict.fromkeys(TO, (550, b"5.1.1 Recipient address rejected"))),
    "dropped-at-auth": (lambda server: server.drop_connection("AUTH"), {}, smtplib.SMTPServerDisconnected, None),
    "dropped-at-data": (lambda server: server.drop_connection("DATA"), {}, smtplib.SMTPServerDisconnected, None),
    "sender-refused": (lambda server: server.fail_next("MAIL", code=550), {}, smtplib.SMTPSenderRefused,
                       lambda e, s: e.smtp_code == 550),
    "data-refused": (lambda server: server.fail_next("DATA", code=554), {}, smtplib.SMTPDataError,
                     lambda e, s: e.smtp_code == 554),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_server_failures_raise_standard_exceptions(make_server, failure):
    arm, client_options, error, check = FAILURES[failure]
    server = make_server()
    arm(server)
    with pytest.raises(error) as caught:
        server.mailer(**client_options).send(TO, "Hi", body="x")
    assert server.messages == []
    assert check is None or check(caught.value, server)


def test_failed_sends_leave_no_open_file_descriptors(make_server, monkeypatch):
    servers = {name: make_server() for name in FAILURES}
    untrusted = make_server("starttls")
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)

    def fail_once():
        for name, (arm, client_options, error, _) in FAILURES.items():
            arm(servers[name])
            with pytest.raises(error):
                servers[name].mailer(**client_options).send(TO, "Hi", body="x")
        with pytest.raises(HEADER_ERRORS):
            servers["wrong-password"].mailer().send(TO, "Hi\r\nBcc: x@example.org", body="x")
        with pytest.raises(ssl.SSLCertVerificationError):
            untrusted.mailer().send(TO, "Hi", body="x")

    def settled_fds():
        for server in [*servers.values(), untrusted]:
            assert server.wait_idle(), f"{server} still holds client connections"
        return len(os.listdir("/proc/self/fd"))

    fail_once()  # the first round loads modules and certificates
    before = settled_fds()
    for _ in range(9):  # 72 failed sends
        fail_once()
    assert settled_fds() <= before


def test_threads_share_one_mailer(plain_server):
    """Eight threads, one EasyMailer: every message arrives once, intact."""
    mailer = plain_server.mailer()

    def send(n):
        mailer.send(f"to{n}@example.org", f"message {n}", body=f"body {n}", bcc=f"bcc{n}@example.org",
                    attachments=[{"filename": f"part{n}.bin", "data": n.to_bytes(2, "big") * 100}])

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(send, range(240)))
    assert plain_server.wait_idle() and len(plain_server.messages) == 240
    seen = {int(m["Subject"].split()[1]): (m.envelope_to, m["To"], [(a.filename, a.data) for a in m.attachments])
            for m in plain_server.messages}
    assert seen == {n: ([f"to{n}@example.org", f"bcc{n}@example.org"], f"to{n}@example.org",
                        [(f"part{n}.bin", n.to_bytes(2, "big") * 100)]) for n in range(240)}
