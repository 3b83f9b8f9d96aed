"""The example's policy: its settings, which failures come back, and when.

classify() is checked twice: on exception objects of every kind a send can
raise, and on what real sends to the local server raise under its faults
(including the two cases docs/scaling.md states: an error answer to QUIT
after the message was accepted, and a TLS handshake that times out).
"""

import contextlib
import errno
import os
import smtplib
import socket
import ssl

import jinja2
import pytest

from mailfleet import SilentServer, free_port
from mailqueue.attachments import AttachmentRefused, load, load_all
from mailqueue.config import Settings
from mailqueue.retry import TemporaryFailure, Verdict, classify, task_options


def test_settings_come_from_mail_variables_and_unsafe_ones_are_refused():
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


def test_time_limits_leave_room_for_the_slowest_send():
    settings = Settings.from_env({"MAIL_SOCKET_TIMEOUT": "10", "MAIL_REDIS_WAIT": "5"})
    assert (settings.soft_time_limit, settings.time_limit) == (210, 230)
    assert (Settings().soft_time_limit, Settings().time_limit) == (660, 720)


@pytest.fixture
def attachment_dir(tmp_path):
    folder = tmp_path / "attachments"
    (folder / "sub").mkdir(parents=True)
    (folder / "sub" / "q3.pdf").write_bytes(b"%PDF q3")
    (tmp_path / "secret.txt").write_bytes(b"secret")
    os.symlink(tmp_path / "secret.txt", folder / "secret.txt")  # a link out
    os.symlink(tmp_path, folder / "up")                          # a folder link out
    os.symlink(folder / "sub" / "q3.pdf", folder / "alias.pdf")  # a link that stays inside
    os.mkfifo(folder / "pipe")
    return folder


def test_attachments_are_read_only_from_inside_the_folder(attachment_dir):
    for item in ["sub/q3.pdf", "alias.pdf", str(attachment_dir / "sub" / "q3.pdf"), "./sub/../sub/q3.pdf"]:
        assert load(item, str(attachment_dir))["data"] == b"%PDF q3", item
    assert load("alias.pdf", str(attachment_dir))["filename"] == "alias.pdf"
    assert load_all(None, str(attachment_dir)) is None
    for item, directory, reason in [
        ("/proc/self/environ", attachment_dir, "is not inside MAIL_ATTACHMENT_DIR"),
        ("../secret.txt", attachment_dir, "is not inside MAIL_ATTACHMENT_DIR"),
        ("secret.txt", attachment_dir, "is not inside MAIL_ATTACHMENT_DIR"),
        ("up/secret.txt", attachment_dir, "is not inside MAIL_ATTACHMENT_DIR"),
        (".", attachment_dir, "is not inside MAIL_ATTACHMENT_DIR"),
        ("sub", attachment_dir, "is not a regular file"),
        ("pipe", attachment_dir, "is not a regular file"),
        ("missing.pdf", attachment_dir, "No such file or directory"),
        ({"filename": "a.txt", "data": "x"}, attachment_dir, "not dict"),
        ("sub/q3.pdf", "", "attachments are turned off"),
    ]:
        with pytest.raises(AttachmentRefused, match=reason):
            load(item, str(directory))
    with pytest.raises(AttachmentRefused, match="must be a list"):
        load_all("sub/q3.pdf", str(attachment_dir))


def _unverified(message):
    error = ssl.SSLCertVerificationError(1, "certificate verify failed")
    error.verify_message = message  # set by ssl on a failed handshake
    return error


# What a failed send raised, whether it is retried, and the reason reported.
# Codes sit on the edges: 400 and 499 are temporary, 500 is not, 354 is a
# stale reply (client and server lost step, so retried whatever it says).
CLASSIFIED = [
    (smtplib.SMTPRecipientsRefused({"ann@example.org": (451, b"4.7.1 try later"),
                                    "bob@example.org": (499, b"4.2.2  mailbox\r\n full")}), True,
     "recipient refused: ann@example.org 451 4.7.1 try later; bob@example.org 499 4.2.2 mailbox full"),
    (smtplib.SMTPRecipientsRefused({"ann@example.org": (400, b"4.7.1 try later"),
                                    "bob@example.org": (500, b"5.1.1 no such user")}), False,
     "recipient refused: ann@example.org 400 4.7.1 try later; bob@example.org 500 5.1.1 no such user"),
    (smtplib.SMTPRecipientsRefused({}), False, "recipient refused: "),
    (smtplib.SMTPSenderRefused(421, b"4.3.2 shutting down", "app@example.org"), True,
     "sender refused 421 4.3.2 shutting down"),
    (smtplib.SMTPDataError(400, b"4.3.0 queue full"), True, "message refused 400 4.3.0 queue full"),
    (smtplib.SMTPDataError(554, b"5.7.1 rejected as spam"), False, "message refused 554 5.7.1 rejected as spam"),
    (smtplib.SMTPAuthenticationError(499, "4.7.0 temporary failure"), True, "login refused 499 4.7.0 temporary failure"),
    (smtplib.SMTPAuthenticationError(535, b"5.7.8 bad credentials"), False, "login refused 535 5.7.8 bad credentials"),
    (smtplib.SMTPConnectError(421, b"4.3.2 too \xff many"), True, "greeting refused 421 4.3.2 too \ufffd many"),
    (smtplib.SMTPHeloError(500, b"5.5.2 syntax error"), False, "EHLO refused 500 5.5.2 syntax error"),
    (smtplib.SMTPResponseException(454, b"4.7.0 TLS not available"), True, "server replied 454 4.7.0 TLS not available"),
    (smtplib.SMTPResponseException(354, b"End data with <CR><LF>.<CR><LF>"), True,
     "unexpected reply, server replied 354 End data with <CR><LF>.<CR><LF>"),
    (smtplib.SMTPServerDisconnected("Connection unexpectedly closed"), True,
     "connection lost: Connection unexpectedly closed"),
    (smtplib.SMTPNotSupportedError("STARTTLS extension not supported by server."), False,
     "SMTP: STARTTLS extension not supported by server."),
    (_unverified("self-signed certificate"), False, "certificate rejected: self-signed certificate"),
    (ssl.SSLEOFError(8, "EOF occurred in violation of protocol"), True,
     "TLS connection cut off: EOF occurred in violation of protocol"),
    (ssl.SSLError(1, "[SSL: WRONG_VERSION_NUMBER] wrong version number"), False,
     "TLS error: [SSL: WRONG_VERSION_NUMBER] wrong version number"),
    (TimeoutError("_ssl.c:1112: The handshake operation timed out"), True,
     "timed out: _ssl.c:1112: The handshake operation timed out"),
    (TimeoutError(), True, "timed out: no answer"),
    (ConnectionRefusedError(errno.ECONNREFUSED, "Connection refused"), True,
     "ConnectionRefusedError: [Errno 111] Connection refused"),
    (socket.gaierror(socket.EAI_AGAIN, "Temporary failure in name resolution"), True,
     "host name lookup failed: [Errno -3] Temporary failure in name resolution"),
    (socket.gaierror(socket.EAI_NONAME, "Name or service not known"), False,
     "host name lookup failed: [Errno -2] Name or service not known"),
    (OSError(errno.ENETUNREACH, "Network is unreachable"), True, "network unreachable: [Errno 101] Network is unreachable"),
    (FileNotFoundError(errno.ENOENT, "No such file or directory", "/srv/q3.pdf"), False,
     "FileNotFoundError: [Errno 2] No such file or directory: '/srv/q3.pdf'"),
    (jinja2.TemplateNotFound("welcome.html"), False, "TemplateNotFound: welcome.html"),
]


@pytest.mark.parametrize(("error", "retry", "reason"), CLASSIFIED,
                         ids=[type(error).__name__ for error, _, _ in CLASSIFIED])
def test_failures_are_classified_with_a_reason(error, retry, reason):
    assert classify(error) == Verdict(retry, reason)


def test_celery_retries_a_temporary_failure_after_growing_jittered_waits(fleet_tools):
    from celery import Celery, signals

    # Eager: each retry runs at once, and the wait Celery chose is recorded.
    app = Celery("policy", set_as_current=False)
    app.conf.task_always_eager = True
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
    try:
        send()
    except Exception as error:  # noqa: BLE001 - the point is to see what arrives
        return error
    return None


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

    def send(server, **options):
        return _failure(lambda: server.mailer(**options).send("ann@example.org", "Hi", body="Hello"))

    with testing.SMTPServer("starttls") as server:
        untrusted = send(server)  # the test CA is not trusted yet
        assert isinstance(untrusted, ssl.SSLCertVerificationError)
        assert not classify(untrusted).retry and "certificate" in classify(untrusted).reason
        with server.trust():
            outcomes = {}
            for name, arm in [
                ("451 RCPT", lambda: server.fail_next("RCPT", code=451)),
                ("550 RCPT", lambda: server.refuse_recipients("ann@example.org", code=550)),
                ("drop at DATA", lambda: server.drop_connection("DATA")),
                ("454 login", lambda: server.reject_logins(code=454)),
                ("535 login", lambda: server.reject_logins(code=535)),
                ("454 STARTTLS", lambda: server.fail_next("STARTTLS", code=454)),
            ]:
                server.clear()
                arm()
                error = send(server)
                assert error is not None, name
                outcomes[name] = classify(error).retry
                assert server.messages == [], name
            assert outcomes == {"451 RCPT": True, "550 RCPT": False, "drop at DATA": True,
                                "454 login": True, "535 login": False, "454 STARTTLS": True}

            # The server accepted the message, then answered QUIT with an error:
            # the send raises anyway, so a transient code means a second copy.
            for code, retried in ((421, True), (554, False)):
                server.clear()
                server.fail_next("QUIT", code=code)
                error = send(server)
                assert type(error) is smtplib.SMTPResponseException and error.smtp_code == code
                assert len(server.messages) == 1
                assert classify(error).retry is retried

    closed = EasyMailer("127.0.0.1", free_port(), "u", "p", use_ssl=False)
    refused = _failure(lambda: closed.send("a@example.org", "x", body="y"))
    assert isinstance(refused, ConnectionRefusedError) and classify(refused).retry


@pytest.mark.parametrize("security", [{"use_ssl": True}, {"use_ssl": False, "use_tls": True}],
                         ids=["implicit TLS", "STARTTLS"])
@default_timeout(1.0)
def test_a_silent_server_costs_one_socket_timeout_and_is_retried(security):
    from corvenda.mailer import EasyMailer

    with SilentServer() as silent:
        error = _failure(lambda: EasyMailer(silent.host, silent.port, "u", "p", **security).send("a@example.org", "x", body="y"))
    # Implicit TLS waits in the handshake: TimeoutError, not an SMTP exception.
    expected = TimeoutError if security["use_ssl"] else smtplib.SMTPServerDisconnected
    assert type(error) is expected, repr(error)
    assert classify(error).retry
