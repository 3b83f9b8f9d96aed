"""The application's mail, checked at a real SMTP server through the corvenda fixtures."""

import os
import smtplib
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


def test_refused_recipient_is_not_retried(smtp_server, mailer, mail_outbox):
    smtp_server.refuse_recipients("ghost@example.com")
    with pytest.raises(smtplib.SMTPRecipientsRefused) as caught:
        app.send_with_retry(mailer, "ghost@example.com", "Hi", "x")
    assert caught.value.recipients["ghost@example.com"][0] == 550
    assert mail_outbox == [] and len(smtp_server.sessions) == 1


def test_temporary_failure_on_rcpt_is_retried(smtp_server, mailer, mail_outbox):
    smtp_server.fail_next("RCPT", code=451)
    assert app.send_with_retry(mailer, "ann@example.com", "Hi", "x") == 2
    assert len(mail_outbox) == 1
    assert [s.commands.count("DATA") for s in smtp_server.sessions] == [0, 1]


def test_dropped_connection_is_retried_then_raised(smtp_server, mailer, mail_outbox):
    smtp_server.drop_connection("DATA", count=3)
    with pytest.raises(smtplib.SMTPServerDisconnected):
        app.send_with_retry(mailer, "ann@example.com", "Hi", "x")
    assert mail_outbox == []
    assert [s.commands[-1] for s in smtp_server.sessions] == ["DATA"] * 3


def test_connection_dropped_after_data_duplicates_on_retry(smtp_server, mailer, mail_outbox):
    # The server stored the message but the client never heard so: the retry sends it again.
    smtp_server.drop_connection("DATA", after=True)
    assert app.send_with_retry(mailer, "ann@example.com", "Hi", "x") == 2
    assert [m["Subject"] for m in mail_outbox] == ["Hi", "Hi"]


def test_rejected_login_then_accepted(smtp_server, mailer, mail_outbox):
    smtp_server.reject_logins()
    with pytest.raises(smtplib.SMTPAuthenticationError) as caught:
        mailer.send("ann@example.com", "Hi", body="x")
    assert caught.value.smtp_code == 535 and smtp_server.sessions[0].login is None
    mailer.send("ann@example.com", "Hi", body="x")
    assert len(mail_outbox) == 1


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
