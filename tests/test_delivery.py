"""Delivery through a real SMTP server on 127.0.0.1 (corvenda.testing.SMTPServer).

Every check is made on what reached the server: the command sequence, the
login, the envelope and the DATA bytes.
"""

import email.errors
import email.utils
import os
import smtplib
import ssl

import pytest

TO = ["ann@example.org", "bob@example.org"]
CC = ["cat@example.org"]
BCC = ["dan@example.org", "eve@example.org"]


def commands_for(mode, recipients):
    tls = ["STARTTLS", "EHLO"] if mode == "starttls" else []
    return ["EHLO", *tls, "AUTH", "MAIL", *["RCPT"] * recipients, "DATA", "QUIT"]


def received_data(server):
    return [s for s in server.sessions if "DATA" in s.commands]


def open_fds():
    return len(os.listdir("/proc/self/fd"))


# -- successful delivery ------------------------------------------------------


def test_each_security_mode_delivers_with_bcc_only_in_the_envelope(server):
    server.mailer().send(
        TO, "Quarterly report", body="See the figures.", html="<p>See the figures.</p>",
        cc=CC[0], bcc=BCC, sender_name="Corvenda Reports", reply_to="help@example.org",
    )

    [session] = server.sessions
    user = server.credentials[0]
    assert session.commands == commands_for(server.mode, 5)
    assert session.tls_at_auth is session.tls_at_mail is (server.mode != "plain")
    assert session.logins == [server.credentials] and session.login == user

    [message] = server.messages
    assert message.session is session
    assert message.envelope_from == user
    assert message.envelope_to == TO + CC + BCC
    for address in BCC:
        assert address.encode() not in message.raw
    parsed = message.message
    assert "Bcc" not in parsed
    assert parsed["From"] == email.utils.formataddr(("Corvenda Reports", user))
    assert [a for _, a in email.utils.getaddresses([parsed["To"]])] == TO
    assert parsed["Cc"] == CC[0]
    assert parsed["Reply-To"] == "help@example.org"
    assert parsed["Subject"] == "Quarterly report"
    assert email.utils.parsedate_to_datetime(parsed["Date"]).tzinfo is not None
    assert parsed.get_body(("plain",)).get_content().strip() == "See the figures."
    assert parsed.get_body(("html",)).get_content().strip() == "<p>See the figures.</p>"


@pytest.mark.parametrize(
    ("default_sender", "sender", "expected"),
    [
        (None, None, None),  # falls back to the login name
        ("", None, None),  # so does an empty default sender
        ("noreply@example.org", None, "noreply@example.org"),
        ("noreply@example.org", "alerts@example.org", "alerts@example.org"),
    ],
)
def test_envelope_sender_and_from_header(plain_server, default_sender, sender, expected):
    mailer = plain_server.mailer(default_sender=default_sender)
    mailer.send("ann@example.org", "Hi", body="x", sender=sender)
    expected = expected or plain_server.credentials[0]

    [message] = plain_server.messages
    assert message.envelope_from == expected
    assert message["From"].addresses[0].addr_spec == expected


def test_attachments_and_non_ascii_text_arrive_intact(plain_server, tmp_path):
    # Bytes that trip naive encoders: CR/LF, a leading dot, NUL, high bytes.
    binary = b".\r\n\x00\xff\xfe" + bytes(range(256)) * 40
    report = tmp_path / "report.csv"
    report.write_bytes(b"day,count\n.mon,1\r\ntue,2\n")
    plain_server.mailer().send(
        "ann@example.org", "Prüfbericht № 7 — 東京", body="Grüße\n.\nEnde",
        attachments=[
            str(report),
            {"filename": "blob.bin", "data": binary},
            {"filename": "Übersicht.pdf", "data": b"%PDF-1.4", "content_type": "application/pdf"},
        ],
    )

    parsed = plain_server.messages[0].message
    assert parsed["Subject"] == "Prüfbericht № 7 — 東京"
    assert parsed.get_body(("plain",)).get_content().replace("\r\n", "\n").rstrip("\n") == "Grüße\n.\nEnde"
    attached = {p.get_filename(): p for p in parsed.iter_attachments()}
    assert sorted(attached) == ["blob.bin", "report.csv", "Übersicht.pdf"]
    assert attached["report.csv"].get_payload(decode=True) == report.read_bytes()
    assert attached["blob.bin"].get_payload(decode=True) == binary
    assert attached["Übersicht.pdf"].get_content_type() == "application/pdf"
    assert attached["Übersicht.pdf"].get_payload(decode=True) == b"%PDF-1.4"


# In-memory data: text is sent as its UTF-8 bytes; bytes-like data as it is.
DATA = {
    "euro": ("price 5 €", "price 5 €".encode()),
    "accents-and-cjk": ("héllo\r\n東京\n", "héllo\r\n東京\n".encode()),
    "ascii-text": ("plain ASCII\n", b"plain ASCII\n"),
    "empty-text": ("", b""),
    "latin-1-bytes": ("h\xe9llo".encode("latin-1"), b"h\xe9llo"),
    "bytearray": (bytearray(b"\x00\xff\\u20ac"), b"\x00\xff\\u20ac"),
    "memoryview": (memoryview(b"\xe2\x82\xac"), b"\xe2\x82\xac"),
}


def test_in_memory_data_arrives_exactly_as_written(plain_server):
    plain_server.mailer().send("ann@example.org", "Data", body="x", attachments=[
        {"filename": f"{name}.txt", "data": data, "content_type": "text/plain; charset=utf-8"}
        for name, (data, _) in DATA.items()
    ])

    [received] = plain_server.messages
    assert {a.filename: a.data for a in received.attachments} == {
        f"{name}.txt": expected for name, (_, expected) in DATA.items()}
    assert received.attachments[0].data.decode() == "price 5 €"


def test_send_template_delivers_a_rendered_builtin_template(plain_server):
    plain_server.mailer().send_template(
        "ann@example.org", "{{ title }} on {{ host }}", "notification",
        context={"title": "Disk almost full", "host": "db-1", "message": "Usage <90%> & rising"},
        bcc="audit@example.org",
        attachments=[{"filename": "usage.csv", "data": b"disk,used\n/,89\n", "content_type": "text/csv"}],
    )

    [message] = plain_server.messages
    assert message.envelope_to == ["ann@example.org", "audit@example.org"]
    parsed = message.message
    assert parsed["Subject"] == "Disk almost full on db-1"
    text = parsed.get_body(("plain",)).get_content()
    html = parsed.get_body(("html",)).get_content()
    assert "Disk almost full" in text and "Usage <90%> & rising" in text
    assert "Sent " in text  # the layout's footer shows the occurred_at the mailer adds
    assert "Usage &lt;90%&gt; &amp; rising" in html and "<90%>" not in html
    [attachment] = parsed.iter_attachments()
    assert attachment.get_filename() == "usage.csv"
    assert attachment.get_payload(decode=True) == b"disk,used\n/,89\n"


# -- refused before any secret or message leaves the client -------------------


@pytest.mark.parametrize(
    ("server_mode", "client_options"),
    [
        # use_tls against a server that does not offer STARTTLS
        ("plain", {"use_ssl": False, "use_tls": True}),
        # no TLS against a server that only allows AUTH after STARTTLS
        ("starttls", {"use_ssl": False, "use_tls": False}),
    ],
)
def test_no_login_without_the_requested_encryption(make_server, ca_pem, server_mode, client_options):
    server = make_server(server_mode)
    with pytest.raises(smtplib.SMTPNotSupportedError):
        server.mailer(**client_options).send("ann@example.org", "Hi", body="x")

    [session] = server.sessions
    assert "AUTH" not in session.commands and session.logins == []
    assert server.messages == []


@pytest.mark.parametrize("mode", ["starttls", "ssl"])
def test_untrusted_certificate_fails_before_login(make_server, monkeypatch, mode):
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    server = make_server(mode)
    with pytest.raises(ssl.SSLCertVerificationError):
        server.mailer().send("ann@example.org", "Hi", body="x")

    assert all(s.logins == [] and "AUTH" not in s.commands for s in server.sessions)
    assert server.messages == []


# What the email package raises for a header it cannot write safely.
HEADER_ERRORS = (ValueError, email.errors.MessageError)
# A line break followed by a blank is ordinary header folding and is unfolded
# by the reader; a break that would start a new header line is refused.
LINE_BREAKS = ["Hi\r\nBcc: victim@example.org", "Hi\nX-Injected: yes"]


@pytest.mark.parametrize("value", LINE_BREAKS, ids=["crlf-header", "lf-header"])
@pytest.mark.parametrize("field", ["subject", "reply_to", "sender_name", "attachment_name"])
def test_line_break_in_a_header_fails_and_sends_no_data(plain_server, field, value):
    arguments = {"subject": "Hello", "body": "x"}
    if field == "attachment_name":
        arguments["attachments"] = [{"filename": value, "data": b"x"}]
    else:
        arguments[field] = value

    with pytest.raises(HEADER_ERRORS):
        plain_server.mailer().send("ann@example.org", **arguments)

    assert received_data(plain_server) == []
    assert plain_server.messages == []


# -- server-side failures surface as the standard library's exceptions --------


# name: (fault to arm on the server before a send, client options, exception)
FAILURES = {
    "wrong-password": (lambda server: None, {"password": "wrong"}, smtplib.SMTPAuthenticationError),
    "recipients-refused": (lambda server: server.refuse_recipients(*TO), {}, smtplib.SMTPRecipientsRefused),
    "dropped-at-auth": (lambda server: server.drop_connection("AUTH"), {}, smtplib.SMTPServerDisconnected),
    "dropped-at-data": (lambda server: server.drop_connection("DATA"), {}, smtplib.SMTPServerDisconnected),
    "sender-refused": (lambda server: server.fail_next("MAIL", code=550), {}, smtplib.SMTPSenderRefused),
    "data-refused": (lambda server: server.fail_next("DATA", code=554), {}, smtplib.SMTPDataError),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_server_failures_raise_standard_exceptions(make_server, failure):
    arm, client_options, error = FAILURES[failure]
    server = make_server()
    arm(server)
    with pytest.raises(error) as caught:
        server.mailer(**client_options).send(TO, "Hi", body="x")

    assert server.messages == []
    if failure == "wrong-password":
        assert caught.value.smtp_code == 535
        assert server.sessions[0].logins[-1] == (server.credentials[0], "wrong")
        assert server.sessions[0].login is None
    if failure == "recipients-refused":
        assert sorted(caught.value.recipients) == sorted(TO)
        assert all(code == 550 for code, _ in caught.value.recipients.values())
    if failure in ("sender-refused", "data-refused"):
        assert caught.value.smtp_code == (550 if failure == "sender-refused" else 554)


def test_failed_sends_leave_no_open_file_descriptors(make_server, ca_pem, monkeypatch):
    servers = {name: make_server() for name in FAILURES}
    untrusted = make_server("starttls")

    def fail_once():
        for name, (arm, client_options, error) in FAILURES.items():
            arm(servers[name])
            with pytest.raises(error):
                servers[name].mailer(**client_options).send(TO, "Hi", body="x")
        with pytest.raises(HEADER_ERRORS):
            servers["wrong-password"].mailer().send(TO, "Hi\r\nBcc: x@example.org", body="x")
        with monkeypatch.context() as env:
            env.delenv("SSL_CERT_FILE")
            with pytest.raises(ssl.SSLCertVerificationError):
                untrusted.mailer().send(TO, "Hi", body="x")

    def settled_fds():
        for server in [*servers.values(), untrusted]:
            assert server.wait_idle(), f"{server} still holds client connections"
        return open_fds()

    fail_once()  # the first round loads modules and certificates
    before = settled_fds()
    for _ in range(9):  # 72 failed sends
        fail_once()
    assert settled_fds() <= before


def test_threads_share_one_mailer(plain_server):
    """Eight threads, one EasyMailer: every message arrives once, intact."""
    from concurrent.futures import ThreadPoolExecutor

    mailer = plain_server.mailer()

    def send(n):
        mailer.send(f"to{n}@example.org", f"message {n}", body=f"body {n}", bcc=f"bcc{n}@example.org",
                    attachments=[{"filename": f"part{n}.bin", "data": n.to_bytes(2, "big") * 100}])

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(send, range(240)))
    plain_server.wait_idle()

    seen = {}
    for message in plain_server.messages:
        parsed = message.message
        n = int(parsed["Subject"].split()[1])
        assert n not in seen
        seen[n] = parsed
        assert message.envelope_to == [f"to{n}@example.org", f"bcc{n}@example.org"]
        assert parsed["To"] == f"to{n}@example.org"
        (part,) = parsed.iter_attachments()
        assert part.get_filename() == f"part{n}.bin"
        assert part.get_content() == n.to_bytes(2, "big") * 100
    assert sorted(seen) == list(range(240))
