"""The policy of examples/celery: its settings, which failures come back, and when.

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
import sys

import jinja2
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(REPO, "examples", "celery"), os.path.join(REPO, "tools")]

from mailqueue.attachments import AttachmentRefused, load, load_all  # noqa: E402
from mailqueue.config import Settings  # noqa: E402
from mailqueue.retry import backoff, classify  # noqa: E402

from mailfleet import SilentServer, free_port  # noqa: E402

def test_settings_come_from_mail_variables_and_unsafe_ones_are_refused():
    settings = Settings.from_env({"MAIL_SMTP_PORT": "587", "MAIL_SMTP_SECURITY": "starttls",
                                  "MAIL_SOCKET_TIMEOUT": "2.5", "PATH": "/bin"})
    assert (settings.smtp_port, settings.smtp_security, settings.socket_timeout) == (587, "starttls", 2.5)
    assert settings.backend_url == settings.broker_url == Settings().broker_url
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


RETRY = [
    smtplib.SMTPRecipientsRefused({"ann@example.org": (451, b"4.7.1 try later"),
                                   "bob@example.org": (452, b"4.2.2 mailbox full")}),
    smtplib.SMTPSenderRefused(421, b"4.3.2 shutting down", "app@example.org"),
    smtplib.SMTPDataError(451, b"4.3.0 queue full"),
    smtplib.SMTPAuthenticationError(454, b"4.7.0 temporary authentication failure"),
    smtplib.SMTPConnectError(421, b"4.3.2 too many connections"),
    smtplib.SMTPResponseException(454, b"4.7.0 TLS not available"),
    smtplib.SMTPServerDisconnected("Connection unexpectedly closed"),
    # A stale reply read in place of the one expected: client and server lost step.
    smtplib.SMTPResponseException(250, b"2.0.0 Message accepted for delivery"),
    smtplib.SMTPResponseException(354, b"End data with <CR><LF>.<CR><LF>"),
    ssl.SSLEOFError(8, "EOF occurred in violation of protocol"),
    TimeoutError("_ssl.c:1112: The handshake operation timed out"),
    ConnectionRefusedError(errno.ECONNREFUSED, "Connection refused"),
    ConnectionResetError(errno.ECONNRESET, "Connection reset by peer"),
    BrokenPipeError(errno.EPIPE, "Broken pipe"),
    socket.gaierror(socket.EAI_AGAIN, "Temporary failure in name resolution"),
    OSError(errno.ENETUNREACH, "Network is unreachable"),
]

GIVE_UP = [
    smtplib.SMTPRecipientsRefused({"ann@example.org": (451, b"4.7.1 try later"),
                                   "bob@example.org": (550, b"5.1.1 no such user")}),
    smtplib.SMTPSenderRefused(553, b"5.7.1 sender not allowed", "app@example.org"),
    smtplib.SMTPDataError(554, b"5.7.1 rejected as spam"),
    smtplib.SMTPAuthenticationError(535, b"5.7.8 bad credentials"),
    smtplib.SMTPNotSupportedError("STARTTLS extension not supported by server."),
    smtplib.SMTPException("No suitable authentication method found."),
    ssl.SSLError(1, "[SSL: WRONG_VERSION_NUMBER] wrong version number"),
    socket.gaierror(socket.EAI_NONAME, "Name or service not known"),
    FileNotFoundError(errno.ENOENT, "No such file or directory", "/srv/q3.pdf"),
    jinja2.TemplateNotFound("welcome.html"),
    jinja2.UndefinedError("'code' is undefined"),
    TypeError("subject must be str, not bytes"),
]


@pytest.mark.parametrize("error", RETRY, ids=lambda e: type(e).__name__)
def test_transient_failures_are_retried(error):
    assert classify(error).retry


@pytest.mark.parametrize("error", GIVE_UP, ids=lambda e: type(e).__name__)
def test_permanent_failures_are_not_retried(error):
    assert not classify(error).retry


def test_reasons_name_the_code_and_every_refused_recipient():
    refused = classify(GIVE_UP[0]).reason
    assert "ann@example.org 451 4.7.1 try later" in refused
    assert "bob@example.org 550 5.1.1 no such user" in refused
    assert classify(GIVE_UP[3]).reason == "login refused 535 5.7.8 bad credentials"
    assert classify(GIVE_UP[9]).reason == "TemplateNotFound: welcome.html"


def test_backoff_doubles_up_to_the_cap_with_jitter_in_the_upper_half():
    lowest = [backoff(n, 10, 900, uniform=lambda a, b: a) for n in range(10)]
    highest = [backoff(n, 10, 900, uniform=lambda a, b: b) for n in range(10)]
    assert highest == [10, 20, 40, 80, 160, 320, 640, 900, 900, 900]
    assert lowest == [h / 2 for h in highest]
    assert backoff(10_000, 10, 900, uniform=lambda a, b: b) == 900
    assert len({backoff(3, 10, 900) for _ in range(20)}) > 1


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
