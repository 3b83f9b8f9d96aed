"""The example's policy: its settings, which failures come back, and when.

classify() is checked on exceptions of every kind a send can raise, and on what real sends to
the local server raise under its faults (those docs/scaling.md states included).
"""

import contextlib
import errno
import os
import smtplib
import socket
import ssl

import jinja2
import pytest

from mailfleet import SilentServer
from mailqueue.attachments import AttachmentRefused, load, load_all
from mailqueue.config import Settings
from mailqueue.retry import TemporaryFailure, Verdict, classify, task_options


def test_settings_come_from_mail_variables_and_unsafe_ones_are_refused():
    """Settings, and time limits that leave room for the slowest send."""
    settings = Settings.from_env({"MAIL_SMTP_PORT": "587", "MAIL_SMTP_SECURITY": "starttls",
                                  "MAIL_SOCKET_TIMEOUT": "2.5", "PATH": "/bin"})
    assert (settings.smtp_port, settings.smtp_security, settings.socket_timeout) == (587, "starttls", 2.5)
    assert settings.backend_url == settings.broker_url == Settings().broker_url
    # The workers' own Redis client reads a unix socket URL in redis-py's spelling.
    for url, for_redis_py in [("redis+socket://:pw@/run/redis.sock?virtual_host=3", "unix://:pw@/run/redis.sock?db=3"),
                              ("redis://:pw@10.0.0.5:6379/2", "redis://:pw@10.0.0.5:6379/2")]:
        assert Settings.from_env({"MAIL_BROKER_URL": url}).redis_url == for_redis_py
    for env, message in [
        ({"MAIL_SMTP_PORT": "submission"}, "MAIL_SMTP_PORT='submission' is not a valid int"),
        ({"MAIL_SMTP_SECURITY": "tls"}, "MAIL_SMTP_SECURITY must be one of ssl, starttls, plain"),
        ({"MAIL_SOCKET_TIMEOUT": "0"}, "MAIL_SOCKET_TIMEOUT must be positive"),
        ({"MAIL_VISIBILITY_TIMEOUT": "900"}, "MAIL_VISIBILITY_TIMEOUT must exceed"),
        ({"MAIL_VISIBILITY_TIMEOUT": "1400"}, r"plus the task time limit \(720 s"),
        ({"MAIL_REDIS_WAIT": "0"}, "MAIL_REDIS_WAIT must be positive"),
        ({"MAIL_MAX_DELIVERIES": "0"}, "MAIL_MAX_DELIVERIES must be at least 1"),
    ]:
        with pytest.raises(ValueError, match=message):
            Settings.from_env(env)
    settings = Settings.from_env({"MAIL_SOCKET_TIMEOUT": "10", "MAIL_REDIS_WAIT": "5"})
    assert (settings.soft_time_limit, settings.time_limit) == (210, 230)
    assert (Settings().soft_time_limit, Settings().time_limit) == (660, 720)


def test_attachments_are_read_only_from_inside_the_folder(tmp_path):
    folder = tmp_path / "attachments"
    (folder / "sub").mkdir(parents=True)
    (folder / "sub" / "q3.pdf").write_bytes(b"%PDF q3")
    (tmp_path / "secret.txt").write_bytes(b"secret")
    os.symlink(tmp_path / "secret.txt", folder / "secret.txt")  # a link out
    os.symlink(tmp_path, folder / "up")                          # a folder link out
    os.symlink(folder / "sub" / "q3.pdf", folder / "alias.pdf")  # a link that stays inside
    os.mkfifo(folder / "pipe")
    for item in ["sub/q3.pdf", "alias.pdf", str(folder / "sub" / "q3.pdf"), "./sub/../sub/q3.pdf"]:
        assert load(item, str(folder))["data"] == b"%PDF q3", item
    assert load("alias.pdf", str(folder))["filename"] == "alias.pdf"
    assert load_all(None, str(folder)) is None
    outside, special = "is not inside MAIL_ATTACHMENT_DIR", "is not a regular file"
    for item, directory, reason in [
        ("/proc/self/environ", folder, outside), ("../secret.txt", folder, outside), ("secret.txt", folder, outside),
        ("up/secret.txt", folder, outside), (".", folder, outside), ("sub", folder, special), ("pipe", folder, special),
        ("missing.pdf", folder, "No such file or directory"), ({"filename": "a.txt", "data": "x"}, folder, "not dict"),
        ("sub/q3.pdf", "", "attachments are turned off"),
    ]:
        with pytest.raises(AttachmentRefused, match=reason):
            load(item, str(directory))
    with pytest.raises(AttachmentRefused, match="must be a list"):
        load_all("sub/q3.pdf", str(folder))


# What a failed send raised, whether it is retried, the reason reported.  Codes on the edges: 400 and
# 499 are temporary, 500 is not; 354 is a stale reply (client and server lost step), retried whatever it says.
CLASSIFIED = [
    (smtplib.SMTPRecipientsRefused({"a@x.org": (451, b"later"), "b@x.org": (499, b"4.2.2  box\r\n full")}), True,
     "recipient refused: a@x.org 451 later; b@x.org 499 4.2.2 box full"),
    (smtplib.SMTPRecipientsRefused({"a@x.org": (400, b"later"), "b@x.org": (500, b"no user")}), False,
     "recipient refused: a@x.org 400 later; b@x.org 500 no user"),
    (smtplib.SMTPRecipientsRefused({}), False, "recipient refused: "),
    (smtplib.SMTPSenderRefused(421, b"closing", "app@x.org"), True, "sender refused 421 closing"),
    (smtplib.SMTPDataError(400, b"queue full"), True, "message refused 400 queue full"),
    (smtplib.SMTPDataError(554, b"spam"), False, "message refused 554 spam"),
    (smtplib.SMTPAuthenticationError(499, "later"), True, "login refused 499 later"),
    (smtplib.SMTPAuthenticationError(535, b"bad credentials"), False, "login refused 535 bad credentials"),
    (smtplib.SMTPConnectError(421, b"too \xff many"), True, "greeting refused 421 too \ufffd many"),
    (smtplib.SMTPHeloError(500, b"syntax error"), False, "EHLO refused 500 syntax error"),
    (smtplib.SMTPResponseException(454, b"no TLS"), True, "server replied 454 no TLS"),
    (smtplib.SMTPResponseException(354, b"End data"), True, "unexpected reply, server replied 354 End data"),
    (smtplib.SMTPServerDisconnected("closed"), True, "connection lost: closed"),
    (smtplib.SMTPNotSupportedError("no STARTTLS"), False, "SMTP: no STARTTLS"),
    (ssl.SSLEOFError(8, "EOF in violation of protocol"), True, "TLS connection cut off: EOF in violation of protocol"),
    (ssl.SSLError(1, "wrong version number"), False, "TLS error: wrong version number"),
    (TimeoutError("The handshake operation timed out"), True, "timed out: The handshake operation timed out"),
    (TimeoutError(), True, "timed out: no answer"),
    (ConnectionRefusedError(errno.ECONNREFUSED, "refused"), True, "ConnectionRefusedError: [Errno 111] refused"),
    (socket.gaierror(socket.EAI_AGAIN, "try again"), True, "host name lookup failed: [Errno -3] try again"),
    (socket.gaierror(socket.EAI_NONAME, "unknown"), False, "host name lookup failed: [Errno -2] unknown"),
    (OSError(errno.ENETUNREACH, "unreachable"), True, "network unreachable: [Errno 101] unreachable"),
    (FileNotFoundError(errno.ENOENT, "gone", "/q3.pdf"), False, "FileNotFoundError: [Errno 2] gone: '/q3.pdf'"),
    (jinja2.TemplateNotFound("welcome.html"), False, "TemplateNotFound: welcome.html"),
]


@pytest.mark.parametrize(("error", "retry", "reason"), CLASSIFIED,
                         ids=[type(error).__name__ for error, _, _ in CLASSIFIED])
def test_failures_are_classified_with_a_reason(error, retry, reason):
    assert classify(error) == Verdict(retry, reason)


def test_celery_retries_a_temporary_failure_after_growing_jittered_waits(fleet_tools):
    from celery import Celery, signals

    app = Celery("policy", set_as_current=False)
    app.conf.task_always_eager = True  # each retry runs at once; the wait Celery chose is recorded
    attempts, waits = [], []

    @app.task(bind=True, **task_options(Settings(max_retries=6, backoff_base=2, backoff_max=8)))
    def flaky(self, error):
        attempts.append(self.request.retries)
        raise error

    def retried(sender, reason, **_):
        waits[-1].append(reason.when)

    signals.task_retry.connect(retried, sender=flaky)  # weakly: gone with the test
    for _ in range(10):
        waits.append([])
        result = flaky.apply(args=[TemporaryFailure("451 try later")])
        assert (result.state, str(result.result)) == ("FAILURE", "451 try later")
    assert attempts == list(range(7)) * 10
    # Ceilings 2, 4, 8 (the cap), 8, 8, 8 s; each wait drawn from 0 up to its ceiling.
    ceilings = [2, 4, 8, 8, 8, 8]
    assert all(0 <= wait <= ceiling for run in waits for wait, ceiling in zip(run, ceilings, strict=True))
    assert any(run != ceilings for run in waits)
    attempts.clear()
    result = flaky.apply(args=[ValueError("bad argument")])  # anything else: not retried
    assert (result.state, attempts) == ("FAILURE", [0])


def _failure(send):
    with pytest.raises(Exception) as raised:
        send()
    return raised.value


@contextlib.contextmanager
def default_timeout(seconds):
    """socket.setdefaulttimeout(seconds), as a worker of the example sets it, undone on exit."""
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(seconds)
    try:
        yield
    finally:
        socket.setdefaulttimeout(previous)


@default_timeout(10.0)
def test_real_failures_of_a_send_are_classified():
    testing = pytest.importorskip("corvenda.testing")
    from corvenda.mailer import EasyMailer

    with testing.SMTPServer("starttls") as server:
        def send():
            return _failure(lambda: server.mailer().send("ann@example.org", "Hi", body="Hello"))

        untrusted = send()  # the test CA is not trusted yet
        assert isinstance(untrusted, ssl.SSLCertVerificationError) and untrusted.verify_message
        assert classify(untrusted) == Verdict(False, f"certificate rejected: {untrusted.verify_message}")
        with server.trust():
            # The last two: the server took the message, then answered QUIT with an error;
            # the send raises anyway, so a transient code means a second copy.
            for arm, retry, stored, reason in [
                (lambda: server.fail_next("RCPT", code=451), True, 0, "recipient refused: ann@example.org 451"),
                (lambda: server.refuse_recipients("ann@example.org", code=550), False, 0,
                 "recipient refused: ann@example.org 550"),
                (lambda: server.drop_connection("DATA"), True, 0, "connection lost: "),
                (lambda: server.reject_logins(code=454), True, 0, "login refused 454"),
                (lambda: server.reject_logins(code=535), False, 0, "login refused 535"),
                (lambda: server.fail_next("STARTTLS", code=454), True, 0, "server replied 454"),
                (lambda: server.fail_next("QUIT", code=421), True, 1, "server replied 421"),
                (lambda: server.fail_next("QUIT", code=554), False, 1, "server replied 554"),
            ]:
                server.clear()
                arm()
                verdict = classify(send())
                assert (verdict.retry, len(server.messages)) == (retry, stored), verdict
                assert verdict.reason.startswith(reason), verdict

    with SilentServer() as gone:
        pass
    closed = EasyMailer(gone.host, gone.port, "u", "p", use_ssl=False)
    refused = _failure(lambda: closed.send("a@example.org", "x", body="y"))
    assert isinstance(refused, ConnectionRefusedError) and classify(refused).retry


@default_timeout(1.0)
def test_a_silent_server_costs_one_socket_timeout_and_is_retried():
    """Implicit TLS waits in the handshake: TimeoutError, not an SMTP exception (STARTTLS: test_celery_scaleout)."""
    from corvenda.mailer import EasyMailer

    with SilentServer() as silent:
        mailer = EasyMailer(silent.host, silent.port, "u", "p", use_ssl=True)
        error = _failure(lambda: mailer.send("a@example.org", "x", body="y"))
    assert type(error) is TimeoutError and classify(error).retry, repr(error)
