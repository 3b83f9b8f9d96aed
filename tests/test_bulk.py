"""corvenda.bulk against the local server: reuse, server limits, faults, pools."""

import re
import smtplib
import threading
from collections import Counter

import pytest

from corvenda.bulk import Connection, Pool

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


FAULTS = {
    "per-connection cap": lambda s: s.fail_next("MAIL", code=452, text="4.5.3 Too many messages"),
    "421 at MAIL": lambda s: s.fail_next("MAIL", code=421, text="4.3.2 Shutting down"),
    "421 at DATA": lambda s: s.fail_next("DATA", code=421),
    "dropped at MAIL": lambda s: s.drop_connection("MAIL"),
    "dropped at RCPT": lambda s: s.drop_connection("RCPT"),
}


@pytest.mark.parametrize("pipelining", [False, True])
@pytest.mark.parametrize("fault", FAULTS)
def test_reconnects_after_a_server_limit_and_sends_each_message_once(make_server, fault, pipelining):
    server = make_server(pipelining=pipelining)
    with Connection(server.mailer()) as connection:
        first = [connection.send("ann@example.org", f"m{i}", body="x") for i in range(2)]
        FAULTS[fault](server)
        rest = [connection.send("ann@example.org", f"m{i}", body="x") for i in range(2, 5)]
    assert [r.outcome for r in first + rest] == ["sent"] * 5
    assert subjects(server) == Counter(f"m{i}" for i in range(5))
    assert connection.logins == 2 and len(server.sessions) == 2


def test_a_second_failure_of_the_same_message_is_raised(make_server):
    server = make_server()
    with Connection(server.mailer()) as connection:
        server.fail_next("MAIL", count=2, code=421)
        with pytest.raises(smtplib.SMTPSenderRefused):
            connection.send("ann@example.org", "lost", body="x")
        assert connection.send("ann@example.org", "next", body="x").outcome == "sent"
    assert subjects(server) == Counter(["next"])


@pytest.mark.parametrize("pipelining", [False, True])
def test_drop_after_the_message_text_is_an_unknown_outcome_never_resent(make_server, pipelining):
    server = make_server(pipelining=pipelining)
    server.drop_connection("DATA", after=True)
    with Connection(server.mailer()) as connection:
        unknown = connection.send("ann@example.org", "maybe", body="x")
        following = connection.send("ann@example.org", "next", body="x")
    assert (unknown.outcome, unknown.reply) == ("unknown", None)
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


@pytest.mark.parametrize("unsubscribe, header", [
    ("https://example.com/u/1", "<https://example.com/u/1>"),
    (["mailto:unsub@example.com?subject=u1", "https://example.com/u/1"],
     "<mailto:unsub@example.com?subject=u1>, <https://example.com/u/1>"),
])
def test_one_click_unsubscribe_headers(plain_server, unsubscribe, header):
    with Connection(plain_server.mailer()) as connection:
        connection.send("ann@example.org", "news", body="x", unsubscribe=unsubscribe)
    [received] = plain_server.messages
    assert received["List-Unsubscribe"] == header
    assert received["List-Unsubscribe-Post"] == "List-Unsubscribe=One-Click"


@pytest.mark.parametrize("unsubscribe", ["http://example.com/u", "mailto:u@example.com", [],
                                         "https://example.com/u>\r\nBcc: x@evil.test", ["https://a", 7]])
def test_bad_unsubscribe_sends_nothing(plain_server, unsubscribe):
    with Connection(plain_server.mailer()) as connection:
        with pytest.raises((ValueError, TypeError)):
            connection.send("ann@example.org", "news", body="x", unsubscribe=unsubscribe)
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


def test_an_error_answer_to_quit_changes_no_outcome(plain_server):
    # QUIT goes out only when a connection is renewed or closed, after its messages' replies.
    plain_server.fail_next("QUIT", count=3, code=421)
    with Connection(plain_server.mailer(), max_per_connection=1) as connection:
        results = [connection.send("ann@example.org", f"m{i}", body="x") for i in range(3)]
    assert [r.outcome for r in results] == ["sent"] * 3
    assert subjects(plain_server) == Counter(["m0", "m1", "m2"]) and connection.logins == 3
