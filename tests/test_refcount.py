"""Reference leaks: every method's success and failure paths, repeated.

Runs only under a debug interpreter (tools/check-debug): a path that keeps
a reference too many grows sys.gettotalrefcount() by at least the number of
repetitions, one that releases a reference too many shrinks it.  Immortal objects (None, small ints,
literal strings) are not counted, so the arguments are new objects on each
call wherever a leaked reference to them could hide.
"""

import gc
import re
import smtplib
import sys
import types
from pathlib import Path

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs a debug interpreter (tools/check-debug)", allow_module_level=True)

import markupsafe  # noqa: E402
import markupsafe._native  # noqa: E402

import corvenda.mailer as mailer  # noqa: E402
from corvenda.mailer import EasyMailer  # noqa: E402
from fakes import BoolRaises, Boom, Dict, Engine, List, Message, NoSend, Str, fake_smtplib, fake_ssl, fresh  # noqa: E402

WARMUP = 100
ROUNDS = 2
CALLS = 600
SLACK = 100


@pytest.fixture(autouse=True)
def counted_escaping(monkeypatch):
    # markupsafe's C speedups are a release build, whose reference changes
    # the debug interpreter does not count: each HTML escape would shift the
    # total.  Its pure-Python escaping is equivalent.
    monkeypatch.setattr(markupsafe, "_escape_inner", markupsafe._native._escape_inner)


def data():
    return bytes(bytearray(b"payload"))


def raises(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn} did not raise {exc_type.__name__}")


def assert_no_leak(run, calls=CALLS):
    """Repeat `run`; the reference total may not change across a round.

    A leak (or a reference released twice) shows in every round, noise from
    the standard library's caches rarely in all of them, so the round with
    the smallest change is checked.
    """
    for _ in range(WARMUP):
        run()
    growth = []
    for _ in range(ROUNDS):
        re.purge()
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(calls):
            run()
        re.purge()
        gc.collect()
        growth.append(sys.gettotalrefcount() - before)
    assert abs(min(growth, key=abs)) < SLACK, f"reference total changed by {growth} over {calls} calls"


def make_mailer(cls=EasyMailer, **options):
    return cls(fresh("smtp.example.org"), int("70000"), fresh("user@example.org"), fresh("password"), **options)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("refcount")
    (root / "report.pdf").write_bytes(b"%PDF-1.4 x")
    (root / "notes").write_bytes(b"no extension")
    return root


# -- the constructor -----------------------------------------------------------


CONSTRUCTOR = {
    "positional": lambda: make_mailer(),
    "keywords": lambda: EasyMailer(host=fresh("h1"), port=587.5, username=fresh("u1"), password=fresh("p1"),
                                   use_ssl=[object()], use_tls=0, default_sender=fresh("me@example.org")),
    "empty default_sender": lambda: make_mailer(use_ssl=False, default_sender=fresh("x")[:0]),
    "str subclass note": lambda: raises(TypeError, EasyMailer, Str("h1"), 25, fresh("u1"), fresh("p1")),
    "int for str": lambda: raises(TypeError, EasyMailer, fresh("h1"), 25, 12345678, fresh("p1")),
    "port not a number": lambda: raises(TypeError, EasyMailer, fresh("h1"), fresh("25"), fresh("u1"), fresh("p1")),
    "port nan": lambda: raises(ValueError, EasyMailer, fresh("h1"), float("nan"), fresh("u1"), fresh("p1")),
    "bool raises": lambda: raises(Boom, make_mailer, use_tls=BoolRaises()),
    "ssl and tls positional": lambda: raises(
        ValueError, EasyMailer, fresh("h1"), 465, fresh("u1"), fresh("p1"), [object()], fresh("yes")),
    "ssl and tls keywords": lambda: raises(ValueError, make_mailer, use_ssl=True, use_tls=True),
    "template_dir not found": lambda: raises(FileNotFoundError, make_mailer, template_dir=fresh("/nonexistent/x")),
}


@pytest.mark.parametrize("case", list(CONSTRUCTOR))
def test_constructor(case):
    assert_no_leak(CONSTRUCTOR[case], calls=CALLS // 2)


def test_constructor_with_replaced_engine(monkeypatch):
    monkeypatch.setattr(mailer, "TemplateEngine", Engine)
    assert_no_leak(lambda: make_mailer(template_dir=fresh("some-dir")))
    assert_no_leak(lambda: raises(FileNotFoundError, make_mailer, template_dir=fresh("missing-dir")))
    monkeypatch.delattr(mailer, "TemplateEngine")
    assert_no_leak(lambda: raises(NameError, make_mailer))


# -- argument binding ----------------------------------------------------------

# Each method: its number of required parameters (self included) and the
# name of its first parameter after self.
REQUIRED = {
    "__init__": (5, "host"),
    "send": (3, "to"),
    "send_template": (4, "to"),
    "_build_message": (10, "to"),
    "_attach_file": (2, "msg"),
    "_attach_binary": (2, "msg"),
    "_collect_recipients": (3, "to"),
    "_do_send": (4, "msg"),
}


@pytest.mark.parametrize("name", list(REQUIRED))
def test_binding_errors(name):
    required, first = REQUIRED[name]
    static = name in ("_attach_file", "_attach_binary", "_collect_recipients")
    through_class = getattr(EasyMailer, name)
    through_instance = getattr(make_mailer(cls=NoSend), name)

    rest = required - (0 if static else 1)

    def objects(n):
        return [object() for _ in range(n)]

    def run():
        for method, lead in ((through_class, 0 if static else 1), (through_instance, 0)):
            raises(TypeError, method)
            raises(TypeError, method, *objects(12))
            raises(TypeError, method, *objects(lead), **{first: object(), fresh("nope"): object()})
            raises(TypeError, method, *objects(lead + rest), bogus=object())
            raises(TypeError, method, *objects(lead + rest), **{first: object()})

    assert_no_leak(run, calls=CALLS // 2)


def test_exact_type_errors():
    m = make_mailer(cls=NoSend)
    msg = m._build_message(fresh("to"), fresh("subject"), None, None, None, None, None, None, None)

    def run():
        raises(TypeError, m.send, fresh("to"), Str("subject"))
        raises(TypeError, m.send, fresh("to"), fresh("subject"), attachments=List())
        raises(TypeError, m.send_template, fresh("to"), fresh("subject"), fresh("name"), Dict(a=object()))
        raises(TypeError, m._build_message, fresh("to"), 1.5, None, None, None, None, None, None, None)
        raises(TypeError, EasyMailer._attach_file, msg, Path("x"))
        raises(TypeError, EasyMailer._attach_binary, msg, Dict(filename=fresh("a.txt"), data=data()))
        raises(TypeError, EasyMailer._do_send, m, msg, List([fresh("to")]), fresh("sender"))
        raises(TypeError, EasyMailer._do_send, m, msg, [fresh("to")], Str("sender"))

    assert_no_leak(run, calls=CALLS // 2)


# -- recipients and the message ------------------------------------------------


def test_collect_recipients():
    def to_iterate():
        yield fresh("gen@example.org")
        raise KeyError(fresh("mid-way"))

    def run():
        EasyMailer._collect_recipients(fresh("to@x"), [fresh("cc@x"), fresh("cc2@x")], (fresh("bcc@x"),))
        EasyMailer._collect_recipients([fresh("to@x")], None, iter([fresh("b@x")]))
        raises(TypeError, EasyMailer._collect_recipients, fresh("to@x"), 12345678, None)
        raises(KeyError, EasyMailer._collect_recipients, to_iterate(), None, None)

    assert_no_leak(run)


def test_build_message(files):
    m = make_mailer()
    report, bare, missing = (str(files / name) for name in ("report.pdf", "notes", "missing.pdf"))

    def build(attachments=None, **fields):
        args = dict(to=[fresh("a@x"), fresh("b@x")], subject=fresh("subject"), body=fresh("body"),
                    html=fresh("<p>html</p>"), cc=fresh("cc@x"), sender=None, sender_name=fresh("Name Here"),
                    attachments=attachments, reply_to=fresh("reply@x"))
        args.update(fields)
        return m._build_message(**args)

    cases = {
        "headers and both bodies": lambda: build(),
        "files and records": lambda: build([fresh(report), fresh(bare), {"filename": fresh("a b.png"),
                                            "data": data()}, {"filename": fresh("报告.txt"), "data": data(),
                                                              "content_type": fresh("text/plain")}]),
        "display names and a long name": lambda: build([{"filename": fresh("é" * 200), "data": data()}],
                                                       to=[fresh("Zoë <z@x>")], cc=fresh("Zoë <z@x>, <>")),
        "missing file": lambda: raises(FileNotFoundError, build, [fresh(report), fresh(missing)]),
        "record without data": lambda: raises(KeyError, build, [{"filename": fresh("a.txt")}]),
        "record without filename": lambda: raises(KeyError, build, [{"data": data()}]),
        "item of a wrong type": lambda: raises(TypeError, build, [12345678]),
        "content type without slash": lambda: raises(
            ValueError, build, [{"filename": fresh("a.txt"), "data": data(), "content_type": fresh("plain")}]),
        "content type not a str": lambda: raises(
            AttributeError, build, [{"filename": fresh("a.txt"), "data": data(), "content_type": 12345678}]),
        "cc truth raises": lambda: raises(Boom, build, cc=BoolRaises()),
        "to list with a non-str": lambda: raises(TypeError, build, to=[fresh("a@x"), 12345678]),
        "self without default_sender": lambda: raises(
            AttributeError, EasyMailer._build_message, object(), fresh("a@x"), fresh("s1"), None, None, None,
            None, None, None, None),
    }
    for name, run in cases.items():
        try:
            assert_no_leak(run, calls=CALLS // 2)
        except AssertionError as error:
            raise AssertionError(f"{name}: {error}") from None


def test_attach_file_and_binary(files):
    msg = make_mailer()._build_message(fresh("to"), fresh("subject"), None, None, None, None, None, None, None)
    report = str(files / "report.pdf")

    def run():
        del msg._payload[:]  # keep the message from growing
        EasyMailer._attach_file(msg, fresh(report))
        EasyMailer._attach_binary(msg, {"filename": fresh("x.bin"), "data": data(), "content_type": None})
        EasyMailer._attach_binary(msg, {"filename": fresh("x y.gif"), "data": data(),
                                        "content_type": fresh("image/gif")})
        raises(FileNotFoundError, EasyMailer._attach_file, msg, fresh(str(files)))
        EasyMailer._attach_binary(msg, {"filename": fresh("t.txt"), "data": fresh("price 5 €")})
        raises(UnicodeEncodeError, EasyMailer._attach_binary, msg, {"filename": fresh("t.txt"), "data": "\udc80"})
        raises(KeyError, EasyMailer._attach_binary, msg, {"data": data()})
        raises(ValueError, EasyMailer._attach_binary, msg,
               {"filename": fresh("x.bin"), "data": data(), "content_type": fresh("no-slash")})
        raises(AttributeError, EasyMailer._attach_binary, object(), {"filename": fresh("x.bin"), "data": data()})

    assert_no_leak(run)


# -- sending -------------------------------------------------------------------


def test_send_and_send_template(files):
    m = make_mailer(cls=NoSend)
    engine_mailer = make_mailer(cls=NoSend)
    engine_mailer._template_engine = Engine()
    report = str(files / "report.pdf")

    def run():
        m.send([fresh("a@x")], fresh("subject"), fresh("body"), cc=[fresh("c@x")], bcc=fresh("b@x"),
               attachments=[fresh(report), {"filename": fresh("a.txt"), "data": data()}])
        m.send(fresh("a@x"), fresh("subject"), html=fresh("<b>x</b>"), sender=fresh("s@x"))
        raises(FileNotFoundError, m.send, fresh("a@x"), fresh("subject"), attachments=[fresh(report + "x")])
        raises(TypeError, m.send, fresh("a@x"), fresh("subject"), bcc=12345678)
        m.send_template(fresh("a@x"), fresh("Hello {{ title }}"), fresh("notification"),
                        {"title": fresh("t1"), "message": fresh("m1")}, bcc=[fresh("b@x")])
        raises(Exception, m.send_template, fresh("a@x"), fresh("subject"), fresh("no-such-template"))
        engine_mailer.send_template(fresh("a@x"), fresh("subject"), fresh("any"), {fresh("k1"): object()})
        engine_mailer.send_template(fresh("a@x"), fresh("subject"), fresh("any"), {})
        raises(LookupError, engine_mailer.send_template, fresh("a@x"), fresh("missing subject"), fresh("any"))

    assert_no_leak(run, calls=CALLS // 2)


@pytest.mark.parametrize("behaviour", [{}, {"fail": "login"}, {"fail": "login", "suppress": True},
                                       {"fail": "enter"}, {"fail": "exit"}, {"fail": "connect"}], ids=repr)
def test_do_send(monkeypatch, behaviour):
    monkeypatch.setattr(mailer, "smtplib", fake_smtplib(**behaviour))
    monkeypatch.setattr(mailer, "ssl", fake_ssl)
    mailers = [make_mailer(), make_mailer(use_ssl=False), make_mailer(use_ssl=False, use_tls=True)]
    expected = {"login": smtplib.SMTPAuthenticationError, "enter": ConnectionResetError, "exit": OSError,
                "connect": ConnectionRefusedError}.get(behaviour.get("fail"))
    if behaviour.get("suppress"):
        expected = None

    def run():
        for m in mailers:
            if expected:
                raises(expected, m._do_send, Message(), [fresh("a@x")], fresh("s@x"))
                # Again while another exception is being handled: __exit__
                # sees the failure as handled, then the outer one is restored.
                try:
                    raise LookupError(fresh("handled"))
                except LookupError:
                    raises(expected, m._do_send, Message(), [fresh("a@x")], fresh("s@x"))
            else:
                m._do_send(Message(), [fresh("a@x"), fresh("b@x")], fresh("s@x"))

    assert_no_leak(run, calls=CALLS // 2)


def test_do_send_with_a_connection_that_is_no_context_manager(monkeypatch):
    monkeypatch.setattr(mailer, "smtplib", types.SimpleNamespace(SMTP=lambda *a: object(), SMTP_SSL=None))
    monkeypatch.setattr(mailer, "ssl", fake_ssl)
    m = make_mailer(use_ssl=False)
    assert_no_leak(lambda: raises(TypeError, m._do_send, Message(), [fresh("a@x")], fresh("s@x")))



# -- corvenda._bulk: the kept connection and its transaction ----------------------


def reply(code, text):
    return int(str(code)), bytes(bytearray(text, "ascii"))


class Wire:
    """A logged-in client that answers from a script and then drops."""

    def __init__(self, replies, pipelining):
        self.replies, self.pipelining = list(replies), pipelining

    def ehlo_or_helo_if_needed(self):
        pass

    def has_extn(self, name):
        return name == "size" or (self.pipelining and name == "pipelining")

    def send(self, text):
        pass

    def getreply(self):
        if not self.replies:
            raise smtplib.SMTPServerDisconnected(fresh("gone"))
        return reply(*self.replies.pop(0))


OK, GO, QUEUED = (250, "2.1.0 OK"), (354, "go ahead"), (250, "2.0.0 queued as 1A2B")
TRANSACTIONS = {  # replies with and without pipelining, and what submit does
    "partial refusal": ([OK, OK, (550, "no such user"), GO, QUEUED], None),
    "unknown outcome": ([OK, OK, OK, GO], None),
    "every recipient refused": ([OK, (550, "no"), (451, "later"), (554, "no valid recipients")],
                                smtplib.SMTPRecipientsRefused),
    "sender refused": ([(452, "4.5.3 Too many messages"), (503, "need MAIL"), (503, "need MAIL"),
                        (503, "need RCPT")], smtplib.SMTPSenderRefused),
    "data refused": ([OK, OK, OK, (451, "try later")], smtplib.SMTPDataError),
    "message refused": ([OK, OK, OK, GO, (554, "spam")], smtplib.SMTPDataError),
    "dropped before the end": ([OK, OK], smtplib.SMTPServerDisconnected),
}


@pytest.mark.parametrize("pipelining", [False, True])
@pytest.mark.parametrize("case", list(TRANSACTIONS))
def test_bulk_submit(case, pipelining):
    from corvenda import _bulk

    replies, expected = TRANSACTIONS[case]
    if not pipelining and case == "every recipient refused":
        replies = replies[:3]  # no DATA after the last refusal
    if not pipelining and case == "sender refused":
        replies = replies[:1]

    def run():
        wire = Wire(replies, pipelining)
        recipients = [fresh("ann@example.org"), fresh("bob@example.org")]
        if expected:
            raises(expected, _bulk.submit, wire, Message(), fresh("s@example.org"), recipients)
        else:
            _bulk.submit(wire, Message(), fresh("s@example.org"), recipients)

    assert_no_leak(run, calls=CALLS // 2)


def test_bulk_submit_refuses_what_cannot_be_sent():
    from corvenda import _bulk

    class Unicode(Message):
        def as_string(self):
            return fresh("Subject: Zoë\n\nbody")

    def run():
        raises(UnicodeEncodeError, _bulk.submit, Wire([], True), Unicode(), fresh("s@x"), [fresh("a@x")])
        raises(ValueError, _bulk.submit, Wire([], True), Message(), fresh("s@x"), [fresh("a@x>\r\nRCPT TO:<b@x")])
        raises(TypeError, _bulk.submit, Wire([], True), Message(), fresh("s@x"))

    assert_no_leak(run, calls=CALLS // 2)


# When login fails and then __exit__ fails too, the error of __exit__ wins.
@pytest.mark.parametrize("fail, expected", [((), None), ("login", smtplib.SMTPAuthenticationError),
                                            (("login", "exit"), OSError), ("connect", ConnectionRefusedError)],
                         ids=repr)
def test_bulk_open(monkeypatch, fail, expected):
    from corvenda import _bulk

    monkeypatch.setattr(mailer, "smtplib", fake_smtplib(fail))
    monkeypatch.setattr(mailer, "ssl", fake_ssl)
    mailers = [make_mailer(), make_mailer(use_ssl=False, use_tls=True)]

    def run():
        for m in mailers:
            if expected:
                raises(expected, _bulk.open, m)
            else:
                _bulk.open(m)

    assert_no_leak(run, calls=CALLS // 2)
