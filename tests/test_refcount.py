"""Reference leaks on every method's success and failure paths, under a debug interpreter (tools/check-debug).

A reference kept or released too many changes sys.gettotalrefcount() with every call.  Immortal objects (None,
small ints, literal strings) are not counted, so arguments are new objects (`fresh`) where a leak could hide."""

import gc
import inspect
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
from corvenda import _bulk  # noqa: E402
from corvenda.mailer import EasyMailer  # noqa: E402
from fakes import BoolRaises, Boom, Dict, Engine, List, Message, NoSend, Str, fake_smtplib, fake_ssl, fresh  # noqa: E402

WARMUP, ROUNDS, CALLS, SLACK = 100, 2, 300, 100
STATIC = ("_attach_file", "_attach_binary", "_collect_recipients")


@pytest.fixture(autouse=True)
def counted_escaping(monkeypatch):
    """markupsafe's C speedups are a release build whose references the debug totals miss; use its Python twin."""
    monkeypatch.setattr(markupsafe, "_escape_inner", markupsafe._native._escape_inner)


def data():
    return bytes(bytearray(b"payload"))


def record(**fields):
    return {"filename": fresh("a.txt"), "data": data()} | fields


def raises(exc_type, fn, *args, **kwargs):
    """Calls `fn`, which must raise `exc_type` (or return, for None)."""
    try:
        fn(*args, **kwargs)
    except exc_type or ():
        return
    assert exc_type is None, f"{fn} did not raise {exc_type.__name__}"


def assert_no_leak(run):
    """Repeat `run`: a leak (or a double release) shows in every round, cache noise rarely in all of them."""
    totals = []
    for calls in [WARMUP] + [CALLS] * ROUNDS:
        for _ in range(calls):
            run()
        re.purge()
        gc.collect()
        totals.append(sys.gettotalrefcount())
    growth = [after - before for before, after in zip(totals, totals[1:])]
    assert abs(min(growth, key=abs)) < SLACK, f"reference total changed by {growth} over {CALLS} calls"


def make_mailer(cls=EasyMailer, **options):
    return cls(fresh("smtp.example.org"), int("70000"), fresh("user@example.org"), fresh("password"), **options)


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    root = tmp_path_factory.mktemp("refcount")
    (root / "report.pdf").write_bytes(b"%PDF-1.4 x")
    (root / "notes").write_bytes(b"no extension")
    return types.SimpleNamespace(dir=str(root), **{name: str(root / f"{name}{ext}") for name, ext in (
        ("report", ".pdf"), ("notes", ""), ("missing", ".pdf"))})


@pytest.fixture
def network(monkeypatch):
    """Installs a fake smtplib failing as told."""
    monkeypatch.setattr(mailer, "ssl", fake_ssl)
    return lambda *fail, **options: monkeypatch.setattr(mailer, "smtplib", fake_smtplib(fail, **options))


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
    assert_no_leak(CONSTRUCTOR[case])


def test_constructor_with_replaced_engine(monkeypatch):
    monkeypatch.setattr(mailer, "TemplateEngine", Engine)
    assert_no_leak(lambda: make_mailer(template_dir=fresh("some-dir")))
    assert_no_leak(lambda: raises(FileNotFoundError, make_mailer, template_dir=fresh("missing-dir")))
    monkeypatch.delattr(mailer, "TemplateEngine")
    assert_no_leak(lambda: raises(NameError, make_mailer))


@pytest.mark.parametrize("name", ["__init__", "send", "send_template", "_build_message", *STATIC, "_do_send"])
def test_binding_errors(name):
    """Too few, too many, unknown and repeated keywords, through the class and through an instance."""
    params = inspect.signature(getattr(EasyMailer, name)).parameters.values()
    required = [p.name for p in params if p.default is p.empty]
    lead = 0 if name in STATIC else 1
    through_instance = getattr(make_mailer(cls=NoSend), name)

    def run():
        for method, first in ((getattr(EasyMailer, name), lead), (through_instance, 0)):
            raises(TypeError, method)
            raises(TypeError, method, *[object()] * 12)
            raises(TypeError, method, *[object()] * first, **{required[lead]: object(), fresh("nope"): object()})
            raises(TypeError, method, *[object()] * (first + len(required) - lead), bogus=object())
            raises(TypeError, method, *[object()] * (first + len(required) - lead), **{required[lead]: object()})

    assert_no_leak(run)


def test_exact_type_errors_recipients_and_a_message_without_attach():
    m = make_mailer(cls=NoSend)

    def to_iterate():
        yield fresh("gen@example.org")
        raise KeyError(fresh("mid-way"))

    def run():
        raises(TypeError, m.send, fresh("to"), Str("subject"))
        raises(TypeError, m.send, fresh("to"), fresh("subject"), attachments=List())
        raises(TypeError, m.send_template, fresh("to"), fresh("subject"), fresh("name"), Dict(a=object()))
        raises(TypeError, m._build_message, fresh("to"), 1.5, None, None, None, None, None, None, None)
        raises(TypeError, EasyMailer._attach_file, Message(), Path("x"))
        raises(TypeError, EasyMailer._attach_binary, Message(), Dict(filename=fresh("a.txt"), data=data()))
        raises(TypeError, EasyMailer._do_send, m, Message(), List([fresh("to")]), fresh("sender"))
        raises(TypeError, EasyMailer._do_send, m, Message(), [fresh("to")], Str("sender"))
        raises(AttributeError, EasyMailer._attach_binary, object(), record())
        EasyMailer._collect_recipients(fresh("to@x"), [fresh("cc@x"), fresh("cc2@x")], (fresh("bcc@x"),))
        EasyMailer._collect_recipients([fresh("to@x")], None, iter([fresh("b@x")]))
        raises(TypeError, EasyMailer._collect_recipients, fresh("to@x"), 12345678, None)
        raises(KeyError, EasyMailer._collect_recipients, to_iterate(), None, None)

    assert_no_leak(run)


BUILD = {
    "headers and both bodies": lambda p: (None, {}),
    "files and records": lambda p: (None, dict(attachments=[
        fresh(p.report), fresh(p.notes), record(filename=fresh("a b.png")), record(data=fresh("price 5 €")),
        record(filename=fresh("x.bin"), content_type=None), record(content_type=fresh("image/gif")),
        record(filename=fresh("报告.txt"), content_type=fresh("text/plain"))])),
    "display names and a long name": lambda p: (None, dict(attachments=[record(filename=fresh("é" * 200))],
                                                           to=[fresh("Zoë <z@x>")], cc=fresh("Zoë <z@x>, <>"))),
    "missing file": lambda p: (FileNotFoundError, dict(attachments=[fresh(p.report), fresh(p.missing)])),
    "directory for a file": lambda p: (FileNotFoundError, dict(attachments=[fresh(p.dir)])),
    "data not encodable": lambda p: (UnicodeEncodeError, dict(attachments=[record(data="\udc80")])),
    "record without data": lambda p: (KeyError, dict(attachments=[{"filename": fresh("a.txt")}])),
    "record without filename": lambda p: (KeyError, dict(attachments=[{"data": data()}])),
    "item of a wrong type": lambda p: (TypeError, dict(attachments=[12345678])),
    "content type without slash": lambda p: (ValueError, dict(attachments=[record(content_type=fresh("plain"))])),
    "content type not a str": lambda p: (AttributeError, dict(attachments=[record(content_type=12345678)])),
    "cc truth raises": lambda p: (Boom, dict(cc=BoolRaises())),
    "to list with a non-str": lambda p: (TypeError, dict(to=[fresh("a@x"), 12345678])),
    "self without default_sender": lambda p: (AttributeError, dict(self=object(), sender=None)),
}


@pytest.mark.parametrize("case", list(BUILD))
def test_build_message(paths, case):
    m = make_mailer()

    def run():
        expected, fields = BUILD[case](paths)
        args = dict(self=m, to=[fresh("a@x"), fresh("b@x")], subject=fresh("subject"), body=fresh("body"),
                    html=fresh("<p>html</p>"), cc=fresh("cc@x"), sender=None, sender_name=fresh("Name Here"),
                    attachments=None, reply_to=fresh("reply@x")) | fields
        raises(expected, EasyMailer._build_message, **args)

    assert_no_leak(run)


def test_send_and_send_template(paths):
    m = make_mailer(cls=NoSend)
    engine_mailer = make_mailer(cls=NoSend)
    engine_mailer._template_engine = Engine()

    def run():
        m.send([fresh("a@x")], fresh("subject"), fresh("body"), cc=[fresh("c@x")], bcc=fresh("b@x"),
               attachments=[fresh(paths.report), record()])
        m.send(fresh("a@x"), fresh("subject"), html=fresh("<b>x</b>"), sender=fresh("s@x"))
        raises(FileNotFoundError, m.send, fresh("a@x"), fresh("subject"), attachments=[fresh(paths.missing)])
        raises(TypeError, m.send, fresh("a@x"), fresh("subject"), bcc=12345678)
        m.send_template(fresh("a@x"), fresh("Hello {{ title }}"), fresh("notification"),
                        {"title": fresh("t1"), "message": fresh("m1")}, bcc=[fresh("b@x")])
        raises(Exception, m.send_template, fresh("a@x"), fresh("subject"), fresh("no-such-template"))
        engine_mailer.send_template(fresh("a@x"), fresh("subject"), fresh("any"), {fresh("k1"): object()})
        engine_mailer.send_template(fresh("a@x"), fresh("subject"), fresh("any"), {})
        raises(LookupError, engine_mailer.send_template, fresh("a@x"), fresh("missing subject"), fresh("any"))

    assert_no_leak(run)


@pytest.mark.parametrize("fail, suppress, sent, opened", [
    ((), False, None, None), (("login",), False, smtplib.SMTPAuthenticationError, smtplib.SMTPAuthenticationError),
    (("login",), True, None, smtplib.SMTPAuthenticationError), (("exit",), False, OSError, None),
    (("enter",), False, ConnectionResetError, ConnectionResetError), (("login", "exit"), False, OSError, OSError),
    (("connect",), False, ConnectionRefusedError, ConnectionRefusedError)], ids=repr)
def test_do_send_and_bulk_open(network, fail, suppress, sent, opened):
    """open raises a failed login that __exit__ would suppress; when login and __exit__ fail, __exit__'s error wins."""
    network(*fail, suppress=suppress)
    mailers = [make_mailer(), make_mailer(use_ssl=False), make_mailer(use_ssl=False, use_tls=True)]

    def run():
        for m in mailers:
            for expected, call in ((sent, lambda: m._do_send(Message(), [fresh("a@x"), fresh("b@x")], fresh("s@x"))),
                                   (opened, lambda: _bulk.open(m))):
                raises(expected, call)
                try:  # again while another exception is being handled, which is restored afterwards
                    raise LookupError(fresh("handled"))
                except LookupError:
                    raises(expected, call)

    assert_no_leak(run)


def test_do_send_with_a_connection_that_is_no_context_manager(network, monkeypatch):
    monkeypatch.setattr(mailer, "smtplib", types.SimpleNamespace(SMTP=lambda *a: object(), SMTP_SSL=None))
    m = make_mailer(use_ssl=False)
    assert_no_leak(lambda: raises(TypeError, m._do_send, Message(), [fresh("a@x")], fresh("s@x")))


class Wire:
    """A logged-in client that answers from a script and then drops."""

    def __init__(self, replies, pipelining):
        self.replies, self.pipelining = list(replies), pipelining

    ehlo_or_helo_if_needed = send = lambda self, *args: None

    def has_extn(self, name):
        return name == "size" or (self.pipelining and name == "pipelining")

    def getreply(self):
        if not self.replies:
            raise smtplib.SMTPServerDisconnected(fresh("gone"))
        code, text = self.replies.pop(0)
        return int(str(code)), bytes(bytearray(text, "ascii"))


OK, GO, QUEUED = (250, "2.1.0 OK"), (354, "go ahead"), (250, "2.0.0 queued as 1A2B")
# Replies with pipelining (without it, the client stops reading after the first `plain` of them), and the outcome.
TRANSACTIONS = {
    "partial refusal": ([OK, OK, (550, "no such user"), GO, QUEUED], 5, None),
    "unknown outcome": ([OK, OK, OK, GO], 4, None),
    "every recipient refused": ([OK, (550, "no"), (451, "later"), (554, "no valid recipients")], 3,
                                smtplib.SMTPRecipientsRefused),
    "sender refused": ([(452, "4.5.3 Too many messages"), (503, "need MAIL"), (503, "need MAIL"), (503, "need RCPT")],
                       1, smtplib.SMTPSenderRefused),
    "data refused": ([OK, OK, OK, (451, "try later")], 4, smtplib.SMTPDataError),
    "message refused": ([OK, OK, OK, GO, (554, "spam")], 5, smtplib.SMTPDataError),
    "dropped before the end": ([OK, OK], 2, smtplib.SMTPServerDisconnected),
}


@pytest.mark.parametrize("pipelining", [False, True])
@pytest.mark.parametrize("case", list(TRANSACTIONS))
def test_bulk_submit(case, pipelining):
    replies, plain, expected = TRANSACTIONS[case]
    replies = replies if pipelining else replies[:plain]

    def run():
        args = (Wire(replies, pipelining), Message(), fresh("s@example.org"), [fresh("a@example.org"), fresh("b@x")])
        raises(expected, _bulk.submit, *args)

    assert_no_leak(run)


def test_bulk_submit_refuses_what_cannot_be_sent():
    unicode = type("Unicode", (Message,), {"as_string": lambda self: fresh("Subject: Zoë\n\nbody")})

    def run():
        raises(UnicodeEncodeError, _bulk.submit, Wire([], True), unicode(), fresh("s@x"), [fresh("a@x")])
        raises(ValueError, _bulk.submit, Wire([], True), Message(), fresh("s@x"), [fresh("a@x>\r\nRCPT TO:<b@x")])
        raises(TypeError, _bulk.submit, Wire([], True), Message(), fresh("s@x"))

    assert_no_leak(run)
