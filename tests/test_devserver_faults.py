"""The development server (python -m corvenda.testing) and the test server under bad input.

One dev server runs for the module with an open-file limit of 64, so its
connection cap is 16; every test checks it still takes mail afterwards.
"""

import errno
import os
import re
import resource
import smtplib
import socket
import time

import pytest

testing = pytest.importorskip("corvenda.testing")

from corvenda.testing._server import _LoopErrors  # noqa: E402

USER, PASSWORD = "dev", "pw"


def smtp(dev):
    client = smtplib.SMTP("127.0.0.1", dev.port, timeout=30)
    client.login(USER, PASSWORD)
    return client


def send(dev, raw, to="ann@example.com"):
    with smtp(dev) as client:
        client.sendmail("app@example.com", [to], raw)
    return dev.wait_for("=== Message")


def peak_memory_mb(dev):
    with open(f"/proc/{dev.process.pid}/status") as status:
        return int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1)) / 1024


@pytest.fixture(scope="module")
def dev(tmp_path_factory):
    save_dir = tmp_path_factory.mktemp("devserver") / "mail"
    with testing.DevServerProcess("--mode", "plain", "--user", USER, "--password", PASSWORD, "--save", str(save_dir),
                                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))) as server:
        server.save_dir = save_dir
        yield server


@pytest.fixture
def alive(dev):
    """After the test: the server still runs and still shows and saves a plain message."""
    yield dev
    assert dev.returncode is None, "".join(dev.errors)
    shown = send(dev, b"Subject: still here\r\n\r\nhello\r\n")
    assert "Subject: still here" in shown + dev.wait_for("Saved")


def message(charset="utf-8", body=b"hello"):
    return (b"Subject: charset test\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset="
            + charset.encode() + b"\r\n\r\n" + body + b"\r\n")


def test_a_message_that_cannot_be_decoded_is_shown_and_saved_anyway(alive):
    shown = send(alive, message("x-no-such-charset")) + alive.wait_for("Saved")
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
    shown = send(alive, message()) + alive.wait_for("Saved")
    saved = re.search(r"Saved (\S+)", shown).group(1)
    assert not os.path.islink(saved)
    with open(saved, "rb") as eml:
        assert eml.read() == message()
    assert outside.read_bytes() == b"keep"


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's own bookkeeping outweighs the memory this test bounds")
def test_millions_of_empty_lines_are_refused_without_gigabytes(alive):
    with smtp(alive) as client:
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
    assert peak_memory_mb(alive) < 400


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
