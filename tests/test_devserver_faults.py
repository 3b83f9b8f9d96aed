"""The development server (python -m corvenda.testing) and the test server under bad input.

One dev server runs for the module with an open-file limit of 64, so its
connection cap is 16; every test checks it still takes mail afterwards.
"""

import errno
import io
import os
import queue
import re
import resource
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest

testing = pytest.importorskip("corvenda.testing")

from corvenda.testing._server import _LoopErrors  # noqa: E402

USER, PASSWORD = "dev", "pw"


class DevServer:
    def __init__(self, save_dir):
        self.save_dir = save_dir
        self.process = subprocess.Popen(
            [sys.executable, "-m", "corvenda.testing", "--mode", "plain", "--port", "0",
             "--user", USER, "--password", PASSWORD, "--save", str(save_dir)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)),
        )
        self.lines = queue.Queue()
        self.errors = []
        self._readers = [threading.Thread(target=self._read, args=(self.process.stdout, self.lines.put), daemon=True),
                         threading.Thread(target=self._read, args=(self.process.stderr, self.errors.append),
                                          daemon=True)]
        for reader in self._readers:
            reader.start()
        banner = self.read_until("Press Ctrl-C")
        self.port = int(re.search(r"127\.0\.0\.1:(\d+)", banner).group(1))

    @staticmethod
    def _read(stream, put):
        for line in stream:
            put(line)

    def read_until(self, marker, timeout=30.0):
        seen = []
        deadline = time.monotonic() + timeout
        while not any(marker in line for line in seen):
            remaining = deadline - time.monotonic()
            assert remaining > 0, f"no {marker!r} within {timeout} s; output:\n{''.join(seen)}{''.join(self.errors)}"
            try:
                seen.append(self.lines.get(timeout=remaining))
            except queue.Empty:
                pass
        return "".join(seen)

    def smtp(self):
        client = smtplib.SMTP("127.0.0.1", self.port, timeout=30)
        client.login(USER, PASSWORD)
        return client

    def send(self, raw, to="ann@example.com"):
        with self.smtp() as client:
            client.sendmail("app@example.com", [to], raw)
        return self.read_until("=== Message")

    def peak_memory_mb(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1)) / 1024

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for reader in self._readers:
            reader.join(timeout=10)
        self.process.stdout.close()
        self.process.stderr.close()


@pytest.fixture(scope="module")
def dev(tmp_path_factory):
    server = DevServer(tmp_path_factory.mktemp("devserver") / "mail")
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def alive(dev):
    """After the test: the server still runs and still shows and saves a plain message."""
    yield dev
    assert dev.process.poll() is None, "".join(dev.errors)
    shown = dev.send(b"Subject: still here\r\n\r\nhello\r\n")
    assert "Subject: still here" in shown + dev.read_until("Saved")


def message(charset="utf-8", body=b"hello"):
    return (b"Subject: charset test\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset="
            + charset.encode() + b"\r\n\r\n" + body + b"\r\n")


def test_a_message_that_cannot_be_decoded_is_shown_and_saved_anyway(alive):
    shown = alive.send(message("x-no-such-charset")) + alive.read_until("Saved")
    assert "Subject: charset test" in shown
    assert "(cannot decode it: LookupError: unknown encoding: x-no-such-charset)" in shown
    saved = re.search(r"Saved (\S+)", shown).group(1)
    with open(saved, "rb") as eml:
        assert eml.read() == message("x-no-such-charset")


def test_saving_never_overwrites_or_follows_an_existing_name(alive, tmp_path):
    # Names the server chose before (date, time and number) already taken,
    # as links to a file that must stay untouched.
    outside = tmp_path / "precious"
    outside.write_bytes(b"keep")
    now = time.time()
    for second in range(-1, 30):
        stamp = time.strftime("%Y%m%d-%H%M%S", time.localtime(now + second))
        for number in range(1, 40):
            os.symlink(outside, alive.save_dir / f"{stamp}-{number:04d}.eml")
    shown = alive.send(message()) + alive.read_until("Saved")
    saved = re.search(r"Saved (\S+)", shown).group(1)
    assert not os.path.islink(saved)
    with open(saved, "rb") as eml:
        assert eml.read() == message()
    assert outside.read_bytes() == b"keep"


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's own bookkeeping outweighs the memory this test bounds")
def test_millions_of_empty_lines_are_refused_without_gigabytes(alive):
    with alive.smtp() as client:
        client.mail("app@example.com")
        client.rcpt("ann@example.com")
        client.putcmd("data")
        assert client.getreply()[0] == 354
        chunk = b"\r\n" * (512 * 1024)  # 1 MiB
        with pytest.raises((smtplib.SMTPServerDisconnected, ConnectionError)):
            for _ in range(31):  # 31 MiB, under the 32 MiB size limit
                client.sock.sendall(chunk)
            client.sock.sendall(b".\r\n")
            code, text = client.getreply()
            assert (code, b"Too many lines" in text) == (552, True)
            raise ConnectionError  # the server closed after its reply
    assert alive.peak_memory_mb() < 400


def test_connections_beyond_the_cap_get_421_and_nothing_floods_the_log(alive):
    # 64 open files: the server serves 16 connections at once.
    clients = []
    try:
        for _ in range(60):
            clients.append(socket.create_connection(("127.0.0.1", alive.port), timeout=10))
        greetings = [c.recv(200) for c in clients]
    finally:
        for c in clients:
            c.close()
    served = [g for g in greetings if g.startswith(b"220")]
    assert len(served) == 16
    assert all(g.startswith(b"421 4.7.0 Too many connections") for g in greetings if g not in served)
    assert sum(map(len, alive.errors)) < 2000, "".join(alive.errors)


def test_out_of_file_descriptor_reports_are_rate_limited(capsys):
    handler = _LoopErrors()
    error = OSError(errno.EMFILE, os.strerror(errno.EMFILE))
    for _ in range(1000):
        handler(None, {"message": "socket.accept() out of system resource", "exception": error})
    handler._last -= handler.interval
    handler(None, {"message": "socket.accept() out of system resource", "exception": error})
    lines = capsys.readouterr().err.splitlines()
    assert lines == [
        "corvenda.testing: cannot accept connections: Too many open files; "
        "close some, or raise the open-file limit (ulimit -n)",
        "corvenda.testing: cannot accept connections: Too many open files (999 more since the last report); "
        "close some, or raise the open-file limit (ulimit -n)",
    ]


def test_an_empty_recipient_is_refused_with_501():
    with testing.SMTPServer("plain") as server, smtplib.SMTP(server.host, server.port, timeout=10) as client:
        client.login(*testing._server.ANY_LOGIN)
        client.mail("app@example.com")
        assert client.rcpt("")[0] == 501
        assert client.rcpt("ann@example.com")[0] == 250
        client.data(b"Subject: x\r\n\r\ny\r\n")
    assert [m.envelope_to for m in server.messages] == [["ann@example.com"]]
