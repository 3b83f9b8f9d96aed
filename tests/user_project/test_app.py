"""The application's mail, checked at a real SMTP server through the corvenda fixtures."""

import os
import smtplib
import ssl
import subprocess
import sys

import pytest

import app
from corvenda.testing import Authority, SMTPServer


def test_signup(mailer, mail_outbox):
    app.signup(mailer, "ann@example.com")
    assert mail_outbox[0]["Subject"] == "Welcome"


def test_the_outbox_gives_text_html_attachments_and_links(mailer, mail_outbox):
    app.send_invoice(mailer, "ann@example.com", 42, b"%PDF-1.4 \x00\xff")

    [received] = mail_outbox
    assert received.text == "Pay here: https://shop.example/pay?invoice=42&lang=en.\nTotal: 5 €"
    assert received.html.startswith('<p><a href="https://shop.example/pay?invoice=42&amp;lang=en">')
    assert [(a.filename, a.content_type, a.data) for a in received.attachments] == [
        ("invoice-42.pdf", "application/pdf", b"%PDF-1.4 \x00\xff"),
        ("terms.txt", "text/plain", "Zahlbar in 14 Tagen — danke!".encode()),
    ]
    # The HTML link and the same URL in the text part, unescaped, once.
    assert received.links == ["https://shop.example/pay?invoice=42&lang=en"]


def test_the_mailer_fixture_sends_from_an_address(mailer, mail_outbox):
    mailer.send("ann@example.com", "Hi", body="x")
    [received] = mail_outbox
    assert received.envelope_from == "user@example.com"
    assert [a.addr_spec for a in received["From"].addresses] == ["user@example.com"]


def test_wait_for_mail_from_another_thread(mailer, mail_outbox):
    worker = app.signup_later(mailer, "ann@example.com")
    try:
        [received] = mail_outbox.wait_for(1, timeout=30)
        assert received.envelope_to == ["ann@example.com", app.AUDIT]
    finally:
        worker.join(30)


# Another process sends through the server: the mailer's settings travel as arguments.
SEND_FROM_A_CHILD = """
import sys
from corvenda.mailer import EasyMailer
port, ca_file = int(sys.argv[1]), sys.argv[2]
import os; os.environ["SSL_CERT_FILE"] = ca_file
EasyMailer("127.0.0.1", port, "user", "password", use_ssl=False, use_tls=True,
           default_sender="jobs@shop.example").send("ann@example.com", "From a child", body="x")
"""


def test_wait_for_mail_from_another_process(smtp_server, mail_outbox):
    child = subprocess.Popen([sys.executable, "-c", SEND_FROM_A_CHILD, str(smtp_server.port), smtp_server.ca_file])
    try:
        [received] = mail_outbox.wait_for(1, timeout=60)
        assert received["Subject"] == "From a child"
    finally:
        assert child.wait(timeout=60) == 0


def test_wait_for_lists_what_did_arrive(smtp_server, mailer, mail_outbox):
    smtp_server.refuse_recipients("ghost@example.com")
    app.signup(mailer, "ann@example.com")
    with pytest.raises(smtplib.SMTPRecipientsRefused):
        mailer.send("ghost@example.com", "Lost", body="x")
    smtp_server.wait_idle()

    with pytest.raises(AssertionError) as caught:
        mail_outbox.wait_for(2, timeout=0.2)
    assert str(caught.value) == (
        "expected 2 message(s) within 0.2 s, 1 arrived:\n"
        "  1. from 'shop@shop.example' to ['ann@example.com', 'audit@shop.example'], subject 'Welcome'\n"
        "connections that delivered nothing: 1\n"
        "  EHLO STARTTLS EHLO AUTH MAIL RCPT RSET QUIT")


@pytest.mark.parametrize("smtp_server", ["plain", "starttls", "ssl"], indirect=True)
def test_each_mode_logs_in_and_delivers(smtp_server, mailer, mail_outbox):
    app.signup(mailer, "ann@example.com")

    [session] = smtp_server.sessions
    tls = ["STARTTLS", "EHLO"] if smtp_server.mode == "starttls" else []
    assert session.commands == ["EHLO", *tls, "AUTH", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"]
    encrypted = smtp_server.mode != "plain"
    assert session.tls_at_auth is encrypted and session.tls_at_mail is encrypted
    assert session.login == "user"
    [received] = mail_outbox
    assert received.session is session and received.envelope_from == "shop@shop.example"
    assert "<b>ready</b>" in received.message.get_body(("html",)).get_content()


def test_bcc_is_in_the_envelope_and_in_no_header(mailer, mail_outbox):
    app.signup(mailer, "ann@example.com")

    [received] = mail_outbox
    assert received.envelope_to == ["ann@example.com", app.AUDIT]
    assert [a.addr_spec for a in received["To"].addresses] == ["ann@example.com"]
    assert received["Bcc"] is None and app.AUDIT.encode() not in received.raw


def test_trust_is_restored_after_the_context(monkeypatch):
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    with SMTPServer("ssl") as outer, Authority() as ca, SMTPServer("starttls", authority=ca) as inner:
        with outer.trust():
            with inner.trust():
                inner.mailer().send("ann@example.com", "Hi", body="x")
                outer.mailer().send("ann@example.com", "Hi", body="x")
            assert os.environ["SSL_CERT_FILE"] == outer.ca_file
            with pytest.raises(ssl.SSLCertVerificationError):
                inner.mailer().send("ann@example.com", "Hi", body="x")
        assert "SSL_CERT_FILE" not in os.environ
        with pytest.raises(ssl.SSLCertVerificationError):
            outer.mailer().send("ann@example.com", "Hi", body="x")
        assert (len(outer.messages), len(inner.messages)) == (1, 1)


@pytest.mark.smtp_server("ssl", credentials=("shop@shop.example", "s3cret"))
def test_a_marked_server_takes_the_login_given(smtp_server, mailer, mail_outbox):
    app.signup(mailer, "ann@example.com")
    assert smtp_server.mode == "ssl" and mail_outbox[0].session.login == "shop@shop.example"
