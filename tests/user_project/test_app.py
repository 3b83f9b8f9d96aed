"""The application's mail, checked at a real SMTP server through the corvenda fixtures."""

import os
import ssl

import pytest

import app
from corvenda.testing import Authority, SMTPServer


def test_signup(mailer, mail_outbox):
    app.signup(mailer, "ann@example.com")
    assert mail_outbox[0]["Subject"] == "Welcome"


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
