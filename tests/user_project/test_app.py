"""The application's mail, checked at a real SMTP server through the corvenda fixtures."""

import os
import ssl
import subprocess
import sys

import pytest

import app
from corvenda.testing import Authority, SMTPServer


def test_the_outbox_gives_text_html_attachments_and_links(mailer, mail_outbox):
    app.send_invoice(mailer, "ann@example.com", 42, b"%PDF-1.4 \x00\xff")

    [received] = mail_outbox
    assert received.envelope_from == "user@example.com"  # the mailer fixture's login, as no sender is given
    assert [a.addr_spec for a in received["From"].addresses] == ["user@example.com"]
    assert received.text == "Pay here: https://shop.example/pay?invoice=42&lang=en.\nTotal: 5 €"
    assert received.html.startswith('<p><a href="https://shop.example/pay?invoice=42&amp;lang=en">')
    assert [(a.filename, a.content_type, a.data) for a in received.attachments] == [
        ("invoice-42.pdf", "application/pdf", b"%PDF-1.4 \x00\xff"),
        ("terms.txt", "text/plain", "Zahlbar in 14 Tagen — danke!".encode()),
    ]
    assert received.links == ["https://shop.example/pay?invoice=42&lang=en"]


# Another process sends through the server: it inherits the trust, and gets the port as an argument.
SEND_FROM_A_CHILD = """
import sys
from corvenda.mailer import EasyMailer
EasyMailer("127.0.0.1", int(sys.argv[1]), "user", "password", use_ssl=False, use_tls=True,
           default_sender="jobs@shop.example").send("ann@example.com", "From a child", body="x")
"""


def test_wait_for_mail_from_another_thread_and_another_process(smtp_server, mailer, mail_outbox):
    worker = app.signup_later(mailer, "ann@example.com")
    child = subprocess.Popen([sys.executable, "-c", SEND_FROM_A_CHILD, str(smtp_server.port)])
    try:
        received = mail_outbox.wait_for(2, timeout=60)
        assert sorted(str(m["Subject"]) for m in received) == ["From a child", "Welcome"]
    finally:
        worker.join(30)
        assert child.wait(timeout=60) == 0


@pytest.mark.parametrize("smtp_server", ["plain", "starttls", "ssl"], indirect=True)
def test_each_mode_logs_in_and_delivers_bcc_in_the_envelope_only(smtp_server, mailer, mail_outbox):
    app.signup(mailer, "ann@example.com")
    [session] = smtp_server.sessions
    assert session.tls_at_auth is session.tls_at_mail is (smtp_server.mode != "plain")
    assert session.login == "user"
    [received] = mail_outbox
    assert received.session is session and received.envelope_from == "shop@shop.example"
    assert "<b>ready</b>" in received.html
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
