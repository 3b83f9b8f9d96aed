"""corvenda.bulk against the local server: reuse, server limits, faults, pools."""

import re
import smtplib
import socket
import threading
import types
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

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
OPTIONS = {key: W2[key] for key in ("cc", "bcc", "sender", "sender_name", "attachments", "reply_to")}
UNSUBSCRIBE = ["mailto:unsub@example.com?subject=u1", "https://example.com/u/X1"]
# occurred_at given: the rendered text does not change with the clock.
TEMPLATE = (W2["to"], "Hi {{ name }}", "notification", {"title": "T", "message": "M", "name": "Ann", "occurred_at": 0})


def normalised(raw):
    """The message text without what differs between two builds of one message."""
    text = raw.decode("ascii")
    text = re.sub(r"^(Message-ID|List-Unsubscribe|List-Unsubscribe-Post): .*\r?\n([ \t].*\r?\n)*", "", text, flags=re.M)
    text = re.sub(r"^Date: .*$", "Date: -", text, flags=re.M)
    return re.sub(r"=+\d+==", "BOUNDARY", text)


def subjects(server):
    return Counter(str(m["Subject"]) for m in server.messages)


def test_each_security_mode_sends_what_the_mailer_would_over_one_login(server):
    """Connection and Pool submit the message send()/send_template() would, plus a Message-ID."""
    mailer = server.mailer()
    mailer.send(**W2)
    mailer.send_template(*TEMPLATE, **OPTIONS)
    with Connection(mailer) as connection:
        results = [connection.send(**W2) for _ in range(3)]
        results.append(connection.send_template(*TEMPLATE, **OPTIONS, unsubscribe=UNSUBSCRIBE))
    with Pool(mailer, size=1) as pool:
        results.append(pool.send_template(*TEMPLATE, **OPTIONS).result(10))
    assert server.wait_idle() and [(len(s.logins), s.commands[-1]) for s in server.sessions] == [(1, "QUIT")] * 4
    single, template, *bulk = server.messages
    assert single["Message-ID"] is None and template["Subject"] == "Hi Ann"
    for result, received, alike in zip(results, bulk, [single] * 3 + [template] * 2, strict=True):
        assert normalised(received.raw) == normalised(alike.raw)
        assert received["Message-ID"] == result.message_id
        assert received.envelope_to == alike.envelope_to == result.accepted
        assert received.envelope_from == "news@corvenda.test"
        assert (result.outcome, result.refused, result.reply[0]) == ("sent", {}, 250)
    assert bulk[3]["List-Unsubscribe"] == "<mailto:unsub@example.com?subject=u1>, <https://example.com/u/X1>"
    assert b"\r\nList-Unsubscribe: <" in bulk[3].raw and bulk[4]["List-Unsubscribe"] is None
    assert b"\r\nList-Unsubscribe-Post: List-Unsubscribe=One-Click\r\n" in bulk[3].raw
    ids = [r.message_id for r in results]
    assert len(set(ids)) == len(ids) and all(i.endswith("@corvenda.test>") for i in ids)


class Handmade(EasyMailer):
    """Builds messages with a preamble of lines that start with a dot, and its message_id if it has one."""
    message_id = None

    def _build_message(self, **arguments):
        msg = super()._build_message(**arguments)
        msg.preamble = ".\n..two\n."
        if self.message_id:
            msg["Message-ID"] = self.message_id
        return msg


@pytest.mark.parametrize("sender, own, expected", [
    ("postmaster", None, r"<[^@]+@127\.0\.0\.1>"),             # no domain: the server's host name
    ("<news@post.BOX>", None, r"<[^@]+@post\.BOX>"),
    ('"a@b"@corvenda.test', None, r"<[^@]+@corvenda\.test>"),  # the last @ starts the domain
    (None, "<own@corvenda.test>", "<own@corvenda.test>"),      # one the message has is kept
])
def test_the_message_id_and_text_arrive_as_built(plain_server, sender, own, expected):
    """The Message-ID once, from the envelope sender's domain; lines starting with a dot intact."""
    mailer = Handmade(plain_server.host, plain_server.port, *plain_server.credentials, **SECURITY_MODES["plain"])
    mailer.message_id = own
    with Connection(mailer) as connection:
        result = connection.send("ann@example.org", "x", body="x", sender=sender)
    [received] = plain_server.messages
    assert re.fullmatch(expected, result.message_id) and received["Message-ID"] == result.message_id
    assert received.raw.count(b"\r\nMessage-ID: ") == 1 and b"\r\n\r\n.\r\n..two\r\n.\r\n--" in received.raw


@pytest.mark.parametrize("pipelining", [False, True])
@pytest.mark.parametrize("reset_refused", [False, True])  # a refused RSET drops the connection
def test_partial_refusal_is_reported_and_total_refusal_raised(make_server, pipelining, reset_refused):
    server = make_server(pipelining=pipelining)
    if reset_refused:
        server.fail_next("RSET", code=421)
    server.refuse_recipients("bob@example.org", code=450, text="4.2.1 Try later")
    server.refuse_recipients("eve@example.org")
    with Connection(server.mailer()) as connection:
        result = connection.send(["ann@example.org", "bob@example.org"], "one", body="x", bcc="eve@example.org")
        with pytest.raises(smtplib.SMTPRecipientsRefused) as refused:
            connection.send("eve@example.org", "none", body="x")
        after = connection.send("ann@example.org", "after", body="x")
    assert result.accepted == ["ann@example.org"]
    assert result.refused == {"bob@example.org": (450, "4.2.1 Try later"),
                              "eve@example.org": (550, "5.1.1 Recipient address rejected")}
    assert list(refused.value.recipients) == ["eve@example.org"]
    assert after.outcome == "sent"
    assert [m.envelope_to for m in server.messages] == [["ann@example.org"], ["ann@example.org"]]
    assert server.wait_idle() and connection.logins == len(server.sessions) == 1 + reset_refused
    assert server.sessions[0].commands[-1] == ("RSET" if reset_refused else "QUIT")


FAULTS = {  # how the server ends a transaction -> whether the client says QUIT before reconnecting
    "per-connection cap": (lambda s: s.fail_next("MAIL", code=452, text="4.5.3 Too many messages"), True),
    "421 at MAIL": (lambda s: s.fail_next("MAIL", code=421, text="4.3.2 Shutting down"), False),
    "421 at RCPT": (lambda s: s.fail_next("RCPT", code=421), False),
    "421 at DATA": (lambda s: s.fail_next("DATA", code=421), False),
    "dropped at MAIL": (lambda s: s.drop_connection("MAIL"), False),
    "dropped at RCPT": (lambda s: s.drop_connection("RCPT"), False),
    "closed while idle": (lambda s: (s.stop(), s.start()), False),
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


@pytest.mark.parametrize("inject, error, last", [  # last: the first connection's last command
    (lambda s: s.fail_next("MAIL", count=2, code=421), smtplib.SMTPSenderRefused, "MAIL"),
    (lambda s: s.fail_next("RCPT", count=2, code=421), smtplib.SMTPRecipientsRefused, "RCPT"),
    (lambda s: s.drop_connection("MAIL", count=2), smtplib.SMTPServerDisconnected, "MAIL"),
    (lambda s: s.reject_logins(), smtplib.SMTPAuthenticationError, "QUIT"),
])
def test_a_second_failure_of_the_same_message_is_raised(make_server, inject, error, last):
    server = make_server()
    inject(server)
    connection = Connection(server.mailer())
    with pytest.raises(error):
        connection.send("ann@example.org", "lost", body="x")
    assert connection.send("ann@example.org", "next", body="x").outcome == "sent"
    connection.close()
    assert subjects(server) == Counter(["next"])
    assert server.wait_idle() and server.sessions[0].commands[-1] == last, server.sessions[0].commands


@pytest.mark.parametrize("pipelining", [False, True])
def test_drop_after_the_message_text_is_an_unknown_outcome_never_resent(make_server, pipelining):
    server = make_server(pipelining=pipelining)
    server.drop_connection("DATA", after=True)
    server.refuse_recipients("eve@example.org")
    with Connection(server.mailer()) as connection:
        unknown = connection.send(["ann@example.org", "eve@example.org"], "maybe", body="x")
        following = connection.send("ann@example.org", "next", body="x")
    assert (unknown.outcome, unknown.reply, unknown.accepted, unknown.refused) == (
        "unknown", None, ["ann@example.org"], {"eve@example.org": (550, "5.1.1 Recipient address rejected")})
    assert unknown.message_id == server.messages[0]["Message-ID"] and isinstance(unknown.error, OSError)
    assert following.outcome == "sent" and subjects(server) == Counter(["maybe", "next"])
    assert len(server.sessions) == 2


@pytest.mark.parametrize("options, logins", [({"max_per_connection": 2}, 3), ({"idle_timeout": 0}, 6)])
def test_connections_are_renewed_by_count_and_idleness(plain_server, options, logins):
    """An error answer to QUIT, which goes out after the messages' replies, changes no outcome."""
    plain_server.fail_next("QUIT", count=6, code=421)
    with Connection(plain_server.mailer(), **options) as connection:
        results = [connection.send("ann@example.org", f"m{i}", body="x") for i in range(5)]
    assert plain_server.wait_idle() and [r.outcome for r in results] == ["sent"] * 5
    assert subjects(plain_server) == Counter(f"m{i}" for i in range(5))
    assert connection.logins == logins == len(plain_server.sessions), plain_server.sessions
    assert all(s.commands[-1] == "QUIT" for s in plain_server.sessions)


def test_default_limits_renew_after_100_messages_and_30_idle_seconds(plain_server, monkeypatch):
    clock = types.SimpleNamespace(now=1000.0)
    monkeypatch.setattr(corvenda.bulk, "time", types.SimpleNamespace(monotonic=lambda: clock.now))
    logins = []
    with Connection(plain_server.mailer()) as connection:
        assert repr(connection).startswith("<Connection open to 127.0.0.1:")
        assert connection._server.sock.gettimeout() == 60
        for i, idle in enumerate([0] * 101 + [30, 30.001]):  # idle exactly the limit: kept
            clock.now += idle
            connection.send("ann@example.org", f"m{i}", body="x")
            logins.append(connection.logins)
    assert logins == [1] * 100 + [2, 2, 3]
    assert repr(connection).startswith("<Connection closed")
    # timeout=None leaves the connect timeout (the process's default) in place.
    default = socket.getdefaulttimeout()
    socket.setdefaulttimeout(7)
    try:
        with Connection(plain_server.mailer(), timeout=None) as connection:
            assert connection._server.sock.gettimeout() == 7
    finally:
        socket.setdefaulttimeout(default)


def sending(**arguments):
    return lambda mailer: Connection(mailer).send("ann@example.org", "news", body="x", **arguments)


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
    (lambda m: sending()(setattr(m, "default_sender", b"news@corvenda.test") or m), TypeError,
     "sender must be str, not bytes"),
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
    with Pool(server.mailer(), size=4) as pool:
        futures = {}

        def produce(t):
            for i in range(12):
                futures[f"t{t}-{i}"] = pool.send("ann@example.org", f"t{t}-{i}", body="x")

        with ThreadPoolExecutor(16) as producers:
            list(producers.map(produce, range(16)))
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


@pytest.mark.parametrize("pipelining", [False, True])
@pytest.mark.parametrize("marker", [b"MAIL", b".\r\n", b"RSET"], ids=["MAIL", "text", "RSET-after-refusal"])
def test_an_interrupted_send_is_raised_as_is_and_its_connection_dropped(make_server, marker, pipelining):
    """The reply to the command written last that starts (or, the text, ends) with marker is never read."""
    server = make_server(pipelining=pipelining)
    server.refuse_recipients("eve@example.org")
    interruption = SystemExit("what a signal handler raises")
    with Connection(server.mailer()) as connection:
        client = connection._server
        sent = []
        client.send = lambda data, send=client.send: (sent.append(data), send(data))[1]

        def getreply(real_getreply=client.getreply):
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
