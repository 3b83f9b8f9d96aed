"""python -m corvenda.testing as a developer runs it: one message in, summary out, Ctrl-C."""

import email
import email.policy
import errno
import os
import re
import smtplib
import socket
import subprocess
import sys
import time

import pytest

from corvenda.mailer import EasyMailer
from corvenda.testing import DevServerProcess, SMTPServer


def test_dev_server_prints_saves_and_stops_on_sigint(tmp_path, monkeypatch):
    saved = tmp_path / "mail"
    with DevServerProcess("--user", "dev", "--password", "pw", "--save", str(saved)) as server:
        assert f"SSL_CERT_FILE={server.ca_file}" in server.banner

        monkeypatch.setenv("SSL_CERT_FILE", server.ca_file)
        EasyMailer("127.0.0.1", server.port, "dev", "pw", use_ssl=False, use_tls=True).send(
            "ann@example.com", "Invoice 42", body="Total: 10 EUR", bcc="audit@example.com",
            attachments=[{"filename": "invoice.pdf", "data": b"%PDF-1.4"}],
        )
        summary = server.wait_for("Saved ")
        assert "Session    EHLO STARTTLS EHLO AUTH MAIL RCPT RCPT DATA  (login dev, TLS)" in summary
        assert "MAIL FROM <dev>" in summary and "RCPT TO   <ann@example.com>\n" in summary
        assert "RCPT TO   <audit@example.com>   (Bcc: in no header)" in summary
        assert "Subject: Invoice 42" in summary
        assert re.search(r"application/pdf +8 bytes +attachment invoice\.pdf", summary)
        assert "Total: 10 EUR" in summary.split("Text part")[1]
        [eml] = saved.glob("*.eml")
        assert summary.rstrip().endswith(str(eml))
        message = email.message_from_bytes(eml.read_bytes(), policy=email.policy.default)
        assert message["Subject"] == "Invoice 42"

        assert server.stop() == 0
        assert "stopped after 1 message(s)" in server.wait_for("stopped")
        assert not os.path.exists(server.ca_file)


def test_ca_dir_keeps_one_ca_across_restarts_and_fault_flags_apply(tmp_path, monkeypatch):
    ca_dir = tmp_path / "ca"
    flags = ["--ca-dir", str(ca_dir), "--refuse-recipients", "ghost@example.com", "--fail-next", "MAIL:1:451",
             "--reject-logins", "1:454", "--drop-connection", "DATA:after"]
    with DevServerProcess(*flags) as server:
        banner = server.banner
        assert server.ca_file == str(ca_dir / "ca.pem")
        assert "RCPT refused with 550 for ghost@example.com" in banner
        assert "the next 1 MAIL answered with 451" in banner
        assert "the next 1 login(s) rejected with 454" in banner
        assert "the connection dropped at the next 1 DATA, after carrying it out" in banner
        trusted = tmp_path / "trusted.pem"  # what a client of the first run trusts
        trusted.write_bytes((ca_dir / "ca.pem").read_bytes())
        monkeypatch.setenv("SSL_CERT_FILE", str(trusted))
        mailer = EasyMailer("127.0.0.1", server.port, "user", "password", use_ssl=False, use_tls=True,
                            default_sender="app@example.com")

        # Each armed fault in turn, as the same calls on an SMTPServer would.
        with pytest.raises(smtplib.SMTPAuthenticationError) as caught:
            mailer.send("ann@example.com", "Hi", body="x")
        assert caught.value.smtp_code == 454
        with pytest.raises(smtplib.SMTPSenderRefused) as caught:
            mailer.send("ann@example.com", "Hi", body="x")
        assert caught.value.smtp_code == 451
        with pytest.raises(smtplib.SMTPRecipientsRefused) as caught:
            mailer.send("ghost@example.com", "Hi", body="x")
        assert caught.value.recipients == {
            "ghost@example.com": (550, b"5.1.1 Recipient address rejected")}
        with pytest.raises(smtplib.SMTPServerDisconnected):
            mailer.send("ann@example.com", "Stored, then dropped", body="x")
        assert "Subject: Stored, then dropped" in server.wait_for("Text part")
    assert server.returncode == 0 and (ca_dir / "ca.pem").exists()

    # The next run presents a certificate from the same CA: the queued mail goes through.
    with DevServerProcess("--ca-dir", str(ca_dir)) as server:
        assert server.ca_file == str(ca_dir / "ca.pem") and "Faults armed" not in server.banner
        EasyMailer("127.0.0.1", server.port, "user", "password", use_ssl=False, use_tls=True,
                   default_sender="app@example.com").send("ann@example.com", "After restart", body="x")
        assert "Subject: After restart" in server.wait_for("Text part")


def test_a_busy_port_is_reported_at_once(monkeypatch):
    # However long aiosmtpd would wait for a server to come up, a port in use fails at bind.
    monkeypatch.setenv("AIOSMTPD_CONTROLLER_TIMEOUT", "120")
    with socket.create_server(("127.0.0.1", 0)) as busy:
        port = busy.getsockname()[1]
        result = subprocess.run([sys.executable, "-m", "corvenda.testing", "--port", str(port)],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 1
        assert result.stderr == f"corvenda.testing: cannot listen on 127.0.0.1:{port}: Address already in use\n"

        started = time.monotonic()
        with pytest.raises(OSError) as caught:
            SMTPServer(port=port).start()
        assert caught.value.errno == errno.EADDRINUSE and time.monotonic() - started < 60
