"""python -m corvenda.testing as a developer runs it: one message in, summary out, Ctrl-C."""

import email
import email.policy
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

from corvenda.mailer import EasyMailer


def start_reader(stream):
    lines = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(line) for line in stream], daemon=True)
    reader.start()
    return lines, reader


def read_until(lines, marker, timeout=30.0):
    seen = []
    deadline = time.monotonic() + timeout
    while not any(marker in line for line in seen):
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"no {marker!r} within {timeout} s; output so far:\n{''.join(seen)}"
        try:
            seen.append(lines.get(timeout=remaining))
        except queue.Empty:
            pass
    return "".join(seen)


def test_dev_server_prints_saves_and_stops_on_sigint(tmp_path, monkeypatch):
    saved = tmp_path / "mail"
    server = subprocess.Popen(
        [sys.executable, "-m", "corvenda.testing", "--port", "0", "--user", "dev", "--password", "pw",
         "--save", str(saved)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
    )
    try:
        output, reader = start_reader(server.stdout)
        banner = read_until(output, "Press Ctrl-C")
        port = int(re.search(r"127\.0\.0\.1:(\d+)", banner).group(1))
        ca_file = re.search(r"CA certificate: (\S+)", banner).group(1)
        assert f"SSL_CERT_FILE={ca_file}" in banner

        monkeypatch.setenv("SSL_CERT_FILE", ca_file)
        EasyMailer("127.0.0.1", port, "dev", "pw", use_ssl=False, use_tls=True).send(
            "ann@example.com", "Invoice 42", body="Total: 10 EUR", bcc="audit@example.com",
            attachments=[{"filename": "invoice.pdf", "data": b"%PDF-1.4"}],
        )
        summary = read_until(output, "Saved ")
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

        server.send_signal(signal.SIGINT)
        assert server.wait(timeout=20) == 0
        assert "stopped after 1 message(s)" in read_until(output, "stopped")
        assert not os.path.exists(ca_file)
    finally:
        if server.poll() is None:
            server.kill()
        server.wait()
        reader.join(timeout=10)
        server.stdout.close()
