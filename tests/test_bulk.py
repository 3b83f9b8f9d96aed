"""corvenda.bulk against the local server: reuse, server limits, faults, pools."""

import re
import smtplib
import socket
import threading
import types
from collections import Counter

import pytest

import corvenda.bulk
from corvenda import SECURITY_MODES
from corvenda._process import wait_until
from corvenda.bulk import Connection, Pool
from corvenda.mailer import EasyMailer

W2 = dict(to=["ann@example.org", "bob@example.org"], subject="Weekly summary", body="Hello\n.\nbye\n",
          html="<p>Hello</p>", cc="cat@example.org", bcc=["dan@example.org"], sender="news@corvenda.test",
          sender_name="Zoë News", attachments=[{"filename": "a.bin", "data": b"\0\1" * 500}],
          reply_to="help@corvenda.test")


def normalised(raw):
    """The message text without what differs between two builds of one message."""
    text = raw.decode("ascii")
    text = re.sub(r"^(Message-ID|List-Unsubscribe|List-Unsubscribe-Post): .*\r?\n", "", text, flags=re.M)
    text = re.sub(r"^Date: .*$", "Date: -", text, flags=re.M)
    return re.sub(r"=+\d+==", "BOUNDARY", text)


def subjects(server):
    return Counter(str(m["Subject"]) for m in server.messages)


def test_each_security_mode_sends_many_messages_over_one_login(server):
    mailer = server.mailer()
    mailer.send(**W2)
    with Connection(mailer) as connection:
        results = [connection.send(**W2) for _ in range(4)]
        templated = connection.send_template("ann@example.org", "Hi {{ name }}", "notification",
                                             {"title": "T", "message": "M", "name": "Ann"})
    assert server.wait_idle()
    assert [len(s.logins) for s in server.sessions] == [1, 1]
    single, *bulk, template_message = server.messages
    assert server.sessions[1].commands[-1] == "QUIT"
    for result, received in zip(results, bulk):
        # The same message send() would submit, plus its Message-ID.
        assert normalised(received.raw) == normalised(single.raw)
        assert received["Message-ID"] == result.message_id
        assert received.envelope_to == single.envelope_to == result.accepted
        assert received.envelope_from == "news@corvenda.test"
        assert (result.outcome, result.refused, result.reply[0]) == ("sent", {}, 250)
    assert single["Message-ID"] is None
    assert template_message["Subject"] == "Hi Ann" and template_message["Message-ID"] == templated.message_id
    ids = [r.message_id for r in results] + [templated.message_id]
    assert len(set(ids)) == len(ids) and all(i.endswith("@corvenda.test>") for i in ids)


def test_send_template_passes_every_parameter_through(plain_server):
    mailer = plain_server.mailer()
    options = {key: W2[key] for key in ("cc", "bcc", "sender", "sender_name", "attachments", "reply_to")}
    arguments = (W2["to"], "Hi {{ name }}", "notification", {"title": "T", "message": "M", "name": "Ann"})
    mailer.send_template(*arguments, **options)
    with Connection(mailer) as connection:
        direct = connection.send_template(*arguments, **options, unsubscribe="https://example.com/u/1")
    with Pool(mailer, size=1) as pool:
        pooled = pool.send_template(*arguments, **options).result(10)
    single, *bulk = plain_server.messages
    for result, received in zip([direct, pooled], bulk):
        assert normalised(received.raw) == normalised(single.raw)
        assert received.envelope_to == single.envelope_to == result.accepted
        assert received.envelope_from == W2["sender"] and received["Message-ID"] == result.message_id
    assert bulk[0]["List-Unsubscribe"] == "<https://example.com/u/1>" and bulk[1]["List-Unsubscribe"] is None


@pytest.mark.parametrize("sender, domain", [
    ("postmaster", "127.0.0.1"),             # no domain: the server's host name
    ("<news@post.BOX>", "post.BOX"),
    ('"a@b"@corvenda.test', "corvenda.test"),  # the last @ starts the domain
])
def test_message_id_takes_the_envelope_sender_domain(plain_server, sender, domain):
    with Connection(plain_server.mailer()) as connection:
        result = connection.send("ann@example.org", "x", body="x", sender=sender)
    assert result.message_id.split("@", 1)[1] == f"{domain}>"


class OwnMessageID(EasyMailer):
    def _build_message(self, **arguments):
        msg = super()._build_message(**arguments)
        msg["Message-ID"] = "<own@corvenda.test>"
        return msg


def test_a_message_id_the_message_has_is_kept(plain_server):
    user, password = plain_server.credentials
    mailer = OwnMessageID(plain_server.host, plain_server.port, user, password, **SECURITY_MODES["plain"])
    with Connection(mailer) as connection:
        result = connection.send("ann@example.org", "x", body="x")
    [received] = plain_server.messages
    assert result.message_id == "<own@corvenda.test>" and received.raw.count(b"\r\nMessage-ID: ") == 1


@pytest.mark.parametrize("pipelining", [False, True])
def test_partial_refusal_is_reported_and_total_refusal_raised(make_server, pipelining):
    server = make_server(pipelining=pipelining)
    server.refuse_recipients("bob@example.org", code=450, text="4.2.1 Try later")
    server.refuse_recipients("eve@example.org")
    with Connection(server.mailer()) as connection:
        result = connection.send(["ann@example.org", "bob@example.org"], "one", body="x",
                                 bcc="eve@example.org")
        with pytest.raises(smtplib.SMTPRecipientsRefused) as refused:
            connection.send("eve@example.org", "none", body="x")
        after = connection.send("ann@example.org", "after", body="x")
    assert result.accepted == ["ann@example.org"]
    assert result.refused == {"bob@example.org": (450, "4.2.1 Try later"),
                              "eve@example.org": (550, "5.1.1 Recipient address rejected")}
    assert list(refused.value.recipients) == ["eve@example.org"]
    assert after.outcome == "sent"
    assert [m.envelope_to for m in server.messages] == [["ann@example.org"], ["ann@example.org"]]
    assert len(server.sessions) == 1


FAULTS = {  # how the server ends a transaction -> whether the client says QUIT before reconnecting
    "per-connection cap": (lambda s: s.fail_next("MAIL", code=452, text="4.5.3 Too many messages"), True),
    "421 at MAIL": (lambda s: s.fail_next("MAIL", code=421, text="4.3.2 Shutting down"), False),
    "421 at RCPT": (lambda s: s.fail_next("RCPT", code=421), False),
    "421 at DATA": (lambda s: s.fail_next("DATA", code=421), False),
    "dropped at MAIL": (lambda s: s.drop_connection("MAIL"), False),
    "dropped at RCPT": (lambda s: s.drop_connection("RCPT"), False),
}


@pytest.mark.parametrize("pipelining", [False, True])
@pytest.mark.parametrize("fault", FAULTS)
def test_reconnects_after_a_server_limit_and_sends_each_message_once(make_server, fault, pipelining):
    server = make_server(pipelining=pipelining)
    inject, polite = FAULTS[fault]
    with Connection(server.mailer()) as connection:
        first = [connection.send("ann@example.org", f"m{i}", body="x") for i in range(2)]
        inject(server)
        rest = [connection.send("ann@example.org", f"m{i}", body="x") for i in range(2, 5)]
    assert [r.outcome for r in first + rest] == ["sent"] * 5
    assert subjects(server) == Counter(f"m{i}" for i in range(5))
    assert connection.logins == 2 and len(server.sessions) == 2
    assert server.wait_idle()
    assert (server.sessions[0].commands[-1] == "QUIT") is polite, server.sessions[0].commands


@pytest.mark.parametrize("inject, error", [
    (lambda s: s.fail_next("MAIL", count=2, code=421), smtplib.SMTPSenderRefused),
    (lambda s: s.fail_next("RCPT", count=2, code=421), smtplib.SMTPRecipientsRefused),
    (lambda s: s.drop_connection("MAIL", count=2), smtplib.SMTPServerDisconnected),
])
def test_a_second_failure_of_the_same_message_is_raised(make_server, inject, error):
    server = make_server()
    with Connection(server.mailer()) as connection:
        inject(server)
        with pytest.raises(error):
            connection.send("ann@example.org", "lost", body="x")
        assert connection.send("ann@example.org", "next", body="x").outcome == "sent"
    assert subjects(server) == Counter(["next"])


@pytest.mark.parametrize("pipelining", [False, True])
def test_drop_after_the_message_text_is_an_unknown_outcome_never_resent(make_server, pipelining):
    server = make_server(pipelining=pipelining)
    server.drop_connection("DATA", after=True)
    server.refuse_recipients("eve@example.org")
    with Connection(server.mailer()) as connection:
        unknown = connection.send(["ann@example.org", "eve@example.org"], "maybe", body="x")
        following = connection.send("ann@example.org", "next", body="x")
    assert (unknown.outcome, unknown.reply, unknown.accepted) == ("unknown", None, ["ann@example.org"])
    assert unknown.refused == {"eve@example.org": (550, "5.1.1 Recipient address rejected")}
    assert unknown.message_id == server.messages[0]["Message-ID"]
    assert isinstance(unknown.error, OSError)
    assert following.outcome == "sent"
    # The server kept the message once; the client did not send it again.
    assert subjects(server) == Counter(["maybe", "next"])
    assert len(server.sessions) == 2


@pytest.mark.parametrize("options, logins", [({"max_per_connection": 2}, 3), ({"idle_timeout": 0}, 6)])
def test_connections_are_renewed_by_count_and_idleness(plain_server, options, logins):
    with Connection(plain_server.mailer(), **options) as connection:
        for i in range(5):
            connection.send("ann@example.org", f"m{i}", body="x")
    assert plain_server.wait_idle()
    assert subjects(plain_server) == Counter(f"m{i}" for i in range(5))
    assert connection.logins == logins == len(plain_server.sessions), plain_server.sessions
    assert all(s.commands[-1] == "QUIT" for s in plain_server.sessions)


def test_default_limits_renew_after_100_messages_and_30_idle_seconds(plain_server, monkeypatch):
    clock = types.SimpleNamespace(now=1000.0)
    monkeypatch.setattr(corvenda.bulk, "time", types.SimpleNamespace(monotonic=lambda: clock.now))
    with Connection(plain_server.mailer()) as connection:
        assert repr(connection).startswith("<Connection open to 127.0.0.1:")
        assert connection._server.sock.gettimeout() == 60
        for i in range(100):
            connection.send("ann@example.org", f"m{i}", body="x")
        assert connection.logins == 1
        connection.send("ann@example.org", "m100", body="x")
        assert connection.logins == 2
        clock.now += 30           # idle exactly the limit: kept
        connection.send("ann@example.org", "m101", body="x")
        assert connection.logins == 2
        clock.now += 30.001
        connection.send("ann@example.org", "m102", body="x")
        assert connection.logins == 3
    assert repr(connection).startswith("<Connection closed")
    # timeout=None leaves the connect timeout (the process's default) in place.
    default = socket.getdefaulttimeout()
    socket.setdefaulttimeout(7)
    try:
        with Connection(plain_server.mailer(), timeout=None) as connection:
            assert connection._server.sock.gettimeout() == 7
    finally:
        socket.setdefaulttimeout(default)


@pytest.mark.parametrize("unsubscribe, header", [
    ("https://example.com/u/X1", "<https://example.com/u/X1>"),
    (["mailto:unsub@example.com?subject=u1", "https://example.com/u/1"],
     "<mailto:unsub@example.com?subject=u1>, <https://example.com/u/1>"),
])
def test_one_click_unsubscribe_headers(plain_server, unsubscribe, header):
    with Connection(plain_server.mailer()) as connection:
        connection.send("ann@example.org", "news", body="x", unsubscribe=unsubscribe)
    [received] = plain_server.messages
    assert received["List-Unsubscribe"] == header and b"\r\nList-Unsubscribe: <" in received.raw
    assert b"\r\nList-Unsubscribe-Post: List-Unsubscribe=One-Click\r\n" in received.raw


def sending(**arguments):
    return lambda mailer: Connection(mailer).send("ann@example.org", "news", body="x", **arguments)


def sender_of_bytes(mailer):
    mailer.default_sender = b"news@corvenda.test"
    return sending()(mailer)


class TupleRecipients(EasyMailer):
    def _collect_recipients(self, to, cc, bcc):
        return tuple(super()._collect_recipients(to, cc, bcc))


BAD_ARGUMENTS = [  # (what is called with the mailer, the exception, its message)
    (sending(unsubscribe="http://example.com/u"), ValueError,
     "unsubscribe URI must start with https:// or mailto:, not 'http://example.com/u'"),
    (sending(unsubscribe="mailto:u@example.com"), ValueError,
     "one-click unsubscribe needs an https:// URI (a mailto: may come with it)"),
    (sending(unsubscribe=[]), ValueError, "unsubscribe needs at least one URI"),
    (sending(unsubscribe="https://example.com/u>\r\nBcc: x@evil.test"), ValueError,
     "unsubscribe URI must be ASCII without blanks, commas or angle brackets: "
     "'https://example.com/u>\\r\\nBcc: x@evil.test'"),
    (sending(unsubscribe=["https://a", 7]), TypeError, "unsubscribe URIs must be str, not int"),
    (sender_of_bytes, TypeError, "sender must be str, not bytes"),
    (lambda m: sending()(TupleRecipients(m.host, m.port, "user@example.com", "pw")), TypeError,
     "recipients must be list, not tuple"),
    (lambda m: Connection(m, max_per_connection=0), ValueError, "max_per_connection must be at least 1, not 0"),
    (lambda m: Connection(m, idle_timeout=-1), ValueError, "idle_timeout must not be negative, not -1"),
    (lambda m: Pool(m, size=0), ValueError, "size must be at least 1, not 0"),
    (lambda m: Pool(m, size=2, max_per_connection=0), ValueError, "max_per_connection must be at least 1, not 0"),
]


@pytest.mark.parametrize("call, error, message", BAD_ARGUMENTS)
def test_bad_arguments_are_refused_before_anything_is_sent(plain_server, call, error, message):
    with pytest.raises(error) as raised:
        call(plain_server.mailer())
    assert str(raised.value) == message
    assert plain_server.messages == []


def test_pool_under_sixteen_threads_sends_every_message_once(make_server):
    server = make_server(pipelining=True)
    per_thread = 12
    with Pool(server.mailer(), size=4) as pool:
        futures = {}

        def produce(t):
            for i in range(per_thread):
                futures[f"t{t}-{i}"] = pool.send("ann@example.org", f"t{t}-{i}", body="x")

        threads = [threading.Thread(target=produce, args=(t,)) for t in range(16)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        ordered = list(pool.send_all({"to": "bob@example.org", "subject": f"all{i}", "body": "x"}
                                     for i in range(20)))
        results = {name: future.result(30) for name, future in futures.items()}
    expected = Counter(list(results) + [f"all{i}" for i in range(20)])
    assert subjects(server) == expected and set(expected.values()) == {1}
    by_id = {str(m["Message-ID"]): str(m["Subject"]) for m in server.messages}
    assert [by_id[r.message_id] for r in ordered] == [f"all{i}" for i in range(20)]
    assert pool.logins == len(server.sessions) <= 4
    with pytest.raises(RuntimeError):
        pool.send("ann@example.org", "late", body="x")


def test_a_connection_the_server_closed_while_idle_is_replaced(make_server):
    server = make_server(pipelining=True)
    with Connection(server.mailer()) as connection:
        connection.send("ann@example.org", "before", body="x")
        server.stop()  # every connection goes, while the client is idle
        server.start()
        results = [connection.send("ann@example.org", f"after{i}", body="x") for i in range(2)]
    assert [r.outcome for r in results] == ["sent", "sent"]
    assert subjects(server) == Counter(["before", "after0", "after1"])
    assert connection.logins == 2


class Interrupted(BaseException):
    """What a signal handler raises inside a send (SystemExit, a time limit)."""


INTERRUPTIONS = {  # where the reply never read is awaited: after the command sent that starts with this
    "at MAIL": b"MAIL",
    "after the message text": b".\r\n",
    "at RSET after a refusal": b"RSET",
}


@pytest.mark.parametrize("pipelining", [False, True])
@pytest.mark.parametrize("where", INTERRUPTIONS)
def test_an_interrupted_send_is_raised_as_is_and_its_connection_dropped(make_server, where, pipelining):
    server = make_server(pipelining=pipelining)
    server.refuse_recipients("eve@example.org")
    marker = INTERRUPTIONS[where]
    interruption = Interrupted()
    with Connection(server.mailer()) as connection:
        client = connection._server
        sent = []
        client.send = lambda data, send=client.send: (sent.append(data), send(data))[1]
        real_getreply = client.getreply

        def getreply():
            last = sent[-1] if isinstance(sent[-1], bytes) else sent[-1].encode()
            if last.upper().startswith(marker) or (marker == b".\r\n" and last.endswith(marker)):
                raise interruption
            return real_getreply()

        client.getreply = getreply
        with pytest.raises(BaseException) as raised:
            connection.send("eve@example.org" if marker == b"RSET" else "ann@example.org", "cut", body="x")
        assert raised.value is interruption
        assert repr(connection).startswith("<Connection closed")
        after = connection.send("ann@example.org", "after", body="x")
    assert after.outcome == "sent" and connection.logins == 2
    assert subjects(server)["after"] == 1 and subjects(server)["cut"] <= 1
    assert server.wait_idle() and "QUIT" not in server.sessions[0].commands


def test_a_refused_reset_drops_the_connection(plain_server):
    plain_server.refuse_recipients("eve@example.org")
    plain_server.fail_next("RSET", code=421)
    with Connection(plain_server.mailer()) as connection:
        with pytest.raises(smtplib.SMTPRecipientsRefused):
            connection.send("eve@example.org", "none", body="x")
        assert repr(connection).startswith("<Connection closed")
        assert connection.send("ann@example.org", "after", body="x").outcome == "sent"
    assert plain_server.wait_idle() and connection.logins == 2
    assert plain_server.sessions[0].commands[-1] == "RSET"


def test_an_error_answer_to_quit_changes_no_outcome(plain_server):
    # QUIT goes out only when a connection is renewed or closed, after its messages' replies.
    plain_server.fail_next("QUIT", count=3, code=421)
    with Connection(plain_server.mailer(), max_per_connection=1) as connection:
        results = [connection.send("ann@example.org", f"m{i}", body="x") for i in range(3)]
    assert [r.outcome for r in results] == ["sent"] * 3
    assert subjects(plain_server) == Counter(["m0", "m1", "m2"]) and connection.logins == 3


def pool_threads():
    return [t for t in threading.enumerate() if t.name.startswith("corvenda-pool-")]


def test_pool_sizes_options_order_failures_and_draining(plain_server):
    plain_server.refuse_recipients("eve@example.org")
    mailer = plain_server.mailer()
    with Pool(mailer) as pool:
        assert pool.send("ann@example.org", "first", body="x").result(10).outcome == "sent"
        assert len(pool_threads()) == 4 and all(t.daemon for t in pool_threads())
        assert repr(pool) == "<Pool size=4 to 127.0.0.1:%d>" % mailer.port
    assert repr(pool).endswith(" closed>") and pool_threads() == []
    drawn = []

    def messages():
        for i in range(6):
            drawn.append(i)
            yield {"to": "eve@example.org" if i == 4 else "ann@example.org", "subject": f"all{i}", "body": "x"}

    with Pool(mailer, size=2, max_per_connection=1) as pool:
        ordered = pool.send_all(messages())
        next(ordered)
        assert drawn == [0, 1, 2, 3]          # twice size handed over before the first result
        assert [r.outcome for r in (next(ordered), next(ordered), next(ordered))] == ["sent"] * 3
        with pytest.raises(smtplib.SMTPRecipientsRefused):
            next(ordered)
        pool.close()
        assert drawn == list(range(6))
    assert subjects(plain_server) == Counter(["first"] + [f"all{i}" for i in range(6) if i != 4])
    assert pool.logins >= 5                    # max_per_connection reached each thread: a login per message
    with Pool(mailer, size=1) as pool:
        # A cancelled message is skipped and its thread goes on.
        assert wait_until(lambda: pool._connections, 10)
        with pool._connections[0]._lock:  # hold the thread inside its first send
            futures = [pool.send("ann@example.org", f"late{i}", body="x") for i in range(3)]
            assert wait_until(futures[0].running, 10) and futures[1].cancel()
        pool.close()
        assert all(f.done() for f in futures)  # close() sends what was handed over first
    assert futures[2].result(0).outcome == "sent"
    assert not any(str(m["Subject"]) == "late1" for m in plain_server.messages)
    with pytest.raises(RuntimeError, match="^the pool is closed$"):
        pool.send("ann@example.org", "too late", body="x")
