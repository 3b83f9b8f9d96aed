"""python -m corvenda.testing as a developer runs it: one message in, summary out, Ctrl-C."""

import email
import email.policy
import errno
import os
import re
import socket
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
            attachments=[{"filename": "invoice.pdf", "data": b"%PDF-1.4"}])
        summary = server.wait_for("Saved ")
        assert "Session    EHLO STARTTLS EHLO AUTH MAIL RCPT RCPT DATA  (login dev, TLS)" in summary
        assert "RCPT TO   <audit@example.com>   (Bcc: in no header)" in summary
        assert re.search(r"application/pdf +8 bytes +attachment invoice\.pdf", summary)
        assert "Total: 10 EUR" in summary.split("Text part")[1]
        [eml] = saved.glob("*.eml")
        assert summary.rstrip().endswith(str(eml))
        assert email.message_from_bytes(eml.read_bytes(), policy=email.policy.default)["Subject"] == "Invoice 42"
        assert server.stop() == 0
        assert "stopped after 1 message(s)" in server.wait_for("stopped")
        assert not os.path.exists(server.ca_file)


def test_ca_dir_keeps_one_ca_across_restarts(tmp_path, monkeypatch):
    ca_dir = tmp_path / "ca"
    with DevServerProcess("--ca-dir", str(ca_dir)) as server:
        assert server.ca_file == str(ca_dir / "ca.pem")
        trusted = tmp_path / "trusted.pem"  # what a client of the first run trusts
        trusted.write_bytes((ca_dir / "ca.pem").read_bytes())
    assert server.returncode == 0 and (ca_dir / "ca.pem").exists()
    monkeypatch.setenv("SSL_CERT_FILE", str(trusted))
    # The next run presents a certificate from the same CA.
    with DevServerProcess("--ca-dir", str(ca_dir)) as server:
        assert server.ca_file == str(ca_dir / "ca.pem")
        EasyMailer("127.0.0.1", server.port, "user", "password", use_ssl=False, use_tls=True,
                   default_sender="app@example.com").send("ann@example.com", "After restart", body="x")
        assert "Subject: After restart" in server.wait_for("Text part")


def test_a_busy_port_is_reported_at_once(monkeypatch):
    """However long aiosmtpd would wait for a server to come up, a port in use fails at bind."""
    monkeypatch.setenv("AIOSMTPD_CONTROLLER_TIMEOUT", "120")
    with socket.create_server(("127.0.0.1", 0)) as busy:
        started = time.monotonic()
        with pytest.raises(OSError) as caught:
            SMTPServer(port=busy.getsockname()[1]).start()
        assert caught.value.errno == errno.EADDRINUSE and time.monotonic() - started < 60
