"""corvenda.testing as its README section promises it: the pytest fixtures, fault injection, the server's lifetime.

Faults are armed through the public API and observed through what a real EasyMailer.send raises and the records.
"""

import atexit
import base64
import os
import smtplib
import socket
import ssl
import warnings

import pytest

from corvenda.testing import Authority, SMTPServer


def send(mailer):
    mailer.send("ann@example.org", "Hi", body="x")


# -- the fixtures ----------------------------------------------------------------


def test_fixtures_give_a_trusted_starttls_server_its_mailer_and_outbox(smtp_server, mailer, mail_outbox):
    with open(smtp_server.ca_file) as ca, open(os.environ["SSL_CERT_FILE"]) as trusted:
        assert smtp_server.mode == "starttls" and ca.read() in trusted.read()
    assert (mailer.port, mailer.use_ssl, mailer.use_tls) == (smtp_server.port, False, True)
    send(mailer)
    assert mail_outbox is smtp_server.messages and [m["Subject"] for m in mail_outbox] == ["Hi"]
    # Left armed and recorded on purpose: the next test must not see any of it.
    smtp_server.refuse_recipients("ann@example.org")
    smtp_server.fail_next("MAIL")
    smtp_server.reject_logins()


def test_each_test_starts_with_nothing_recorded_and_nothing_armed(smtp_server, mailer, mail_outbox):
    assert mail_outbox == [] and smtp_server.sessions == []
    send(mailer)
    assert len(mail_outbox) == 1


@pytest.mark.smtp_server("ssl", credentials=("app@example.org", "pw"))
@pytest.mark.parametrize("smtp_server", [None, {"pipelining": True}, {"mode": "plain"}], indirect=True)
def test_the_marker_and_a_dict_param_choose_the_server(smtp_server, mailer, mail_outbox, request):
    param = request.node.callspec.params["smtp_server"] or {}
    assert (smtp_server.mode, smtp_server.credentials, smtp_server.pipelining) == (
        param.get("mode", "ssl"), ("app@example.org", "pw"), param.get("pipelining", False))
    send(mailer)
    assert mail_outbox[0].envelope_from == "app@example.org" and mail_outbox[0].session.login == "app@example.org"


def test_the_factory_shares_one_server_per_set_of_options(smtp_server_factory, smtp_server):
    with Authority() as ca:
        first = smtp_server_factory("plain", credentials=["a", "b"], authority=ca)
        send(first.mailer())
        assert smtp_server_factory("plain", credentials=("a", "b"), authority=ca) is first
        assert len(first.messages) == 1  # cleared once per test, not on every call
        with Authority() as other:
            assert smtp_server_factory("plain", credentials=("a", "b"), authority=other) is not first
        assert first.ca_file == ca.ca_file and smtp_server_factory() is smtp_server
        with pytest.raises(ValueError, match="smtp_server mode must be one of"):
            smtp_server_factory("tls")


# -- fault injection ---------------------------------------------------------------


VERB_OF = {smtplib.SMTPSenderRefused: "MAIL", smtplib.SMTPDataError: "DATA", smtplib.SMTPAuthenticationError: "AUTH"}


def attempt(server, mailer):
    """Send once: "sent", "dropped at VERB", or (VERB, code, text) of the refusal, VERB in the session's record."""
    try:
        send(mailer)
        return "sent"
    except smtplib.SMTPServerDisconnected:
        return f"dropped at {server.sessions[-1].commands[-1]}"
    except smtplib.SMTPRecipientsRefused as error:
        reply = ("RCPT", *error.recipients[ANN])
    except smtplib.SMTPResponseException as error:
        reply = (VERB_OF[type(error)], error.smtp_code, error.smtp_error)
    session = server.sessions[-1]
    assert reply[0] in session.commands
    if reply[0] == "AUTH":  # whatever the credentials, and recorded as tried
        assert (session.login, session.logins[0]) == (None, server.credentials)
    return reply


GO_AWAY = b"x.y.z Go away"
MAIL_4, MAIL_5 = b"4.3.0 Temporary failure, try again later", b"5.5.0 Requested action not taken"
RCPT_4, RCPT_5 = b"4.2.1 Mailbox temporarily unavailable", b"5.1.1 Recipient address rejected"
AUTH_4, AUTH_5 = b"4.7.0 Temporary authentication failure", b"5.7.8 Authentication credentials invalid"
ANN = "ann@example.org"

# (how the fault is armed, the outcome of each send after it, messages stored)
FAULTS = [
    # the verb in any case, codes from either end of the range, the given text, COUNT times, then used up
    (lambda s: s.fail_next("mail", count=2, code=400, text="x.y.z Go away"), [("MAIL", 400, GO_AWAY)] * 2 + ["sent"], 1),
    (lambda s: s.fail_next("Rcpt", count=2, code=451, text="x.y.z Go away"), [("RCPT", 451, GO_AWAY)] * 2 + ["sent"], 1),
    (lambda s: s.fail_next("DATA", count=2, code=599, text="x.y.z Go away"), [("DATA", 599, GO_AWAY)] * 2 + ["sent"], 1),
    (lambda s: s.reject_logins(count=2, code=454), [("AUTH", 454, AUTH_4)] * 2 + ["sent"], 1),
    # each defaults to the next command and its usual code
    (lambda s: (s.reject_logins(), s.fail_next("MAIL"), s.drop_connection("RCPT")),
     [("AUTH", 535, AUTH_5), ("MAIL", 451, MAIL_4), "dropped at RCPT", "sent"], 1),
    # the default text says temporary up to 499, permanent from 500
    (lambda s: s.fail_next("MAIL", code=499), [("MAIL", 499, MAIL_4)], 0),
    (lambda s: s.fail_next("MAIL", code=500), [("MAIL", 500, MAIL_5)], 0),
    (lambda s: s.reject_logins(code=499), [("AUTH", 499, AUTH_4)], 0),
    (lambda s: s.reject_logins(code=500), [("AUTH", 500, AUTH_5)], 0),
    (lambda s: s.refuse_recipients(ANN, code=499), [("RCPT", 499, RCPT_4)], 0),
    (lambda s: s.refuse_recipients(ANN, code=500), [("RCPT", 500, RCPT_5)], 0),
    (lambda s: s.refuse_recipients(ANN), [("RCPT", 550, RCPT_5)] * 2, 0),  # for as long as the server runs
    # closed unanswered, or with after=True once carried out (DATA stores the message)
    (lambda s: s.drop_connection("data", count=2), ["dropped at DATA"] * 2 + ["sent"], 1),
    (lambda s: s.drop_connection("data", count=2, after=True), ["dropped at DATA"] * 2 + ["sent"], 3),
    (lambda s: s.drop_connection("MAIL", after=True), ["dropped at MAIL", "sent"], 1),
]


@pytest.mark.parametrize(("arm", "outcomes", "stored"), FAULTS)
def test_each_fault_answers_as_armed_until_used_up(smtp_server, mailer, mail_outbox, arm, outcomes, stored):
    arm(smtp_server)
    assert [attempt(smtp_server, mailer) for _ in outcomes] == outcomes
    assert len(mail_outbox) == stored


def test_refused_recipients_are_compared_ignoring_case_until_cleared(smtp_server, mailer, mail_outbox):
    smtp_server.refuse_recipients("Ann@Example.ORG", "bob@example.org", code=452, text="4.2.2 Full")
    with pytest.raises(smtplib.SMTPRecipientsRefused) as caught:
        mailer.send(["ann@example.org", "BOB@example.org"], "Hi", body="x")
    assert caught.value.recipients == dict.fromkeys(["ann@example.org", "BOB@example.org"], (452, b"4.2.2 Full"))
    smtp_server.clear_faults()
    send(mailer)
    assert mail_outbox[0].envelope_to == ["ann@example.org"]


# -- lifetime ------------------------------------------------------------------------


def test_a_server_runs_once_between_start_and_stop():
    assert (SMTPServer().mode, SMTPServer().credentials) == ("starttls", ("user", "password"))
    with pytest.raises(ValueError, match=r"^mode must be one of \('plain', 'starttls', 'ssl'\), not 'tls'$"):
        SMTPServer("tls")
    server = SMTPServer("plain")
    with pytest.raises(RuntimeError, match="not running"):
        server.mailer()
    assert server.wait_idle() is True
    with server:
        with pytest.raises(RuntimeError, match="already running"):
            server.start()
        assert server.port != 0 and repr(server) == f"<SMTPServer plain 127.0.0.1:{server.port}>"
        send(server.mailer())
        server.clear()
        assert server.messages == [] and server.sessions == []
        with socket.create_connection((server.host, server.port), timeout=10) as idle:
            assert idle.recv(100).startswith(b"220 localhost ") and server.wait_idle(0.1) is False
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", server.port), timeout=2)
    assert server.wait_idle() is True
    with server:  # and again
        send(server.mailer())


def test_an_authority_of_its_own_signs_for_127_0_0_1_and_localhost():
    with Authority() as ca, SMTPServer("ssl", authority=ca) as server:
        with server.trust():
            for host in ("127.0.0.1", "localhost"):
                send(server.mailer(host=host))
        with smtplib.SMTP_SSL(server.host, server.port, context=ca.client_context()) as client:
            assert client.noop()[0] == 250
            assert (("organizationName", "corvenda.testing"),) in client.sock.getpeercert()["issuer"]
        assert len(server.messages) == 2
    assert not os.path.exists(ca.ca_file)
    gone = Authority()
    os.unlink(gone.ca_file)
    gone.close()  # its file removed by someone else: nothing left to do


def test_a_kept_authority_is_made_once_owner_only_and_loaded_again(tmp_path):
    folder = tmp_path / "ca"
    with Authority(folder) as first:
        assert first.ca_file == str(folder / "ca.pem")
    assert sorted(p.name for p in folder.iterdir()) == [".lock", "ca-key.pem", "ca.pem"]
    assert (folder.stat().st_mode & 0o777, (folder / "ca-key.pem").stat().st_mode & 0o777) == (0o700, 0o600)
    pem = (folder / "ca.pem").read_bytes()
    with Authority(folder) as again, SMTPServer("ssl", authority=again) as server:
        first_run_trust = ssl.create_default_context(cafile=first.ca_file)
        with smtplib.SMTP_SSL(server.host, server.port, context=first_run_trust, timeout=10) as client:
            assert (("organizationName", "corvenda.testing"),) in client.sock.getpeercert()["issuer"]
    (folder / "ca-key.pem").unlink()
    with pytest.raises(FileNotFoundError):  # a CA whose key is lost is not replaced behind the user's back
        Authority(folder)
    assert (folder / "ca.pem").read_bytes() == pem


def test_without_credentials_any_login_is_accepted_and_recorded_even_if_not_utf_8():
    with SMTPServer("plain", credentials=None) as server:
        with smtplib.SMTP(server.host, server.port, timeout=10) as client:
            client.ehlo()
            assert client.docmd("AUTH", "PLAIN " + base64.b64encode(b"\0us\xffer\0p\xffw").decode())[0] == 235
        send(server.mailer(username="anyone", password="anything"))
        [message] = server.messages
        assert (server.sessions[0].logins, message.session.login) == ([("us\ufffder", "p\ufffdw")], "anyone")
        assert repr(message) == "<ReceivedMessage from 'user@example.com' to ['ann@example.org'] subject 'Hi'>"


def test_like_a_real_server_it_wants_a_login_before_mail_and_a_recipient_in_rcpt():
    with SMTPServer("plain", pipelining=True) as server, smtplib.SMTP(server.host, server.port, timeout=10) as client:
        client.ehlo()
        assert client.has_extn("pipelining") and client.has_extn("auth")
        assert client.mail("app@example.com") == (530, b"5.7.0 Authentication required")
        assert server.sessions[0].peer == client.sock.getsockname()
        client.login("user", "password")
        assert client.mail("app@example.com") == (250, b"OK")
        assert client.rcpt("") == (501, b"5.1.3 Bad recipient address syntax")
        assert client.rcpt("ann@example.com") == (250, b"OK")
        client.data(b"Subject: x\r\n\r\ny\r\n")
    assert [m.envelope_to for m in server.messages] == [["ann@example.com"]]
    with SMTPServer("starttls") as server, smtplib.SMTP(server.host, server.port, timeout=10) as client:
        client.ehlo()
        for command in ("AUTH PLAIN AHVzZXIAcGFzc3dvcmQ=", "MAIL FROM:<app@example.com>"):
            assert client.docmd(command) == (530, b"5.7.0 Must issue a STARTTLS command first")


@pytest.mark.parametrize("lines", [10, 200_000])  # in one read of the socket, and in several
def test_a_message_may_have_one_line_per_32_bytes_of_the_size_limit(lines):
    server = SMTPServer("plain", credentials=None)
    server.data_size_limit = 32 * lines
    with server, smtplib.SMTP(server.host, server.port, timeout=30) as client:
        client.login("user", "password")
        client.mail("app@example.org")
        client.rcpt("ann@example.org")
        assert client.data(b"\r\n" * (lines - 1)) == (250, b"2.0.0 Message accepted for delivery")  # and "."
        with pytest.raises(smtplib.SMTPDataError) as caught:
            client.sendmail("app@example.org", ["ann@example.org"], b"\r\n" * lines)
        assert caught.value.args == (552, b"5.3.4 Too many lines in the message; closing connection")
        with pytest.raises(smtplib.SMTPServerDisconnected):
            client.noop()
    assert len(server.messages) == 1


def test_the_shared_ca_file_outlives_a_forked_child_that_exits():
    ca_file = SMTPServer("ssl").ca_file  # the CA shared by servers made without one
    with warnings.catch_warnings():  # other tests' threads: the child only runs atexit and exits
        warnings.simplefilter("ignore", DeprecationWarning)
        child = os.fork()
    if child == 0:
        atexit._run_exitfuncs()  # what a normal exit runs
        os._exit(0)
    os.waitpid(child, 0)
    assert os.path.exists(ca_file)


def test_trust_adds_the_ca_to_the_file_trusted_before_and_restores_it(monkeypatch):
    with Authority() as other, SMTPServer("ssl") as server:
        monkeypatch.setenv("SSL_CERT_FILE", other.ca_file)
        with server.trust() as ca_file:
            bundle = os.environ["SSL_CERT_FILE"]
            with open(bundle) as both, open(ca_file) as ours, open(other.ca_file) as theirs:
                assert both.read() == ours.read() + "\n" + theirs.read()
            send(server.mailer())
        assert os.environ["SSL_CERT_FILE"] == other.ca_file and not os.path.exists(bundle)
        monkeypatch.setenv("SSL_CERT_FILE", server.ca_file)
        with server.trust():
            assert os.environ["SSL_CERT_FILE"] == server.ca_file


def test_shared_process_helpers(monkeypatch):
    from corvenda._process import child_environ, wait_until

    monkeypatch.setenv("LSAN_OPTIONS", "x")
    monkeypatch.setenv("CORVENDA_KEPT", "1")
    env = child_environ(EXTRA="2")
    assert "LSAN_OPTIONS" not in env and env["CORVENDA_KEPT"] == "1" and env["EXTRA"] == "2"
    answers = iter([False, False, True])
    assert wait_until(lambda: next(answers), 5, interval=0) is True
    assert wait_until(lambda: False, 0, interval=0) is False
