"""send, send_template and _do_send against recording fakes (real servers and the real engine: test_delivery)."""

import re
import smtplib
import types

import pytest

import corvenda.mailer as mailer
import fakes
from corvenda.mailer import EasyMailer
from fakes import Message

CTX = object()  # the TLS context every connection must be given
HOST = ("smtp.example.com", 2525)


@pytest.fixture
def log(monkeypatch):
    """What the fake connections were asked, in order: (step, args, kwargs)."""
    monkeypatch.setattr(fakes, "record", [])
    monkeypatch.setattr(mailer, "ssl", types.SimpleNamespace(create_default_context=lambda: CTX))
    monkeypatch.setattr(mailer, "smtplib", fakes.fake_smtplib())
    return fakes.record


def mailer_for(**security):
    return EasyMailer("smtp.example.com", 2525, "user", "secret", **security)


@pytest.mark.parametrize("use_ssl, use_tls, opening", [
    (True, True, [("SMTP_SSL", HOST, {"context": CTX}), ("enter", (), {})]),  # use_tls is ignored
    *[(False, tls, [("SMTP", HOST, {}), ("enter", (), {}), ("starttls", (), {"context": CTX})])
      for tls in (True, "yes")],
    *[(False, tls, [("SMTP", HOST, {}), ("enter", (), {})]) for tls in (0, "")],
])
def test_each_road_opens_secures_logs_in_and_sends_once(log, use_ssl, use_tls, opening):
    m = mailer_for(use_ssl=use_ssl)
    m.use_tls = use_tls  # read, by truth value, at each send
    recipients = ["a@x"]
    assert m._do_send(Message(), recipients, "me@x") is None
    assert log == [*opening, ("login", ("user", "secret"), {}),
                   ("sendmail", ("me@x", recipients, "Subject: fake\n\nbody"), {}), ("exit", (None,), {})]
    assert log[-2][1][1] is recipients


LOGGED_IN = ["SMTP", "enter", "starttls", "login"]


@pytest.mark.parametrize("fail, suppress, raised, steps, exit_saw", [
    ("connect", False, ConnectionRefusedError, ["SMTP"], None),
    ("login", False, smtplib.SMTPAuthenticationError, [*LOGGED_IN, "exit"], smtplib.SMTPAuthenticationError),
    ("sendmail", True, None, [*LOGGED_IN, "sendmail", "exit"], OSError),
    (("login", "exit"), False, OSError, [*LOGGED_IN, "exit"], smtplib.SMTPAuthenticationError),
    ("exit", False, OSError, [*LOGGED_IN, "sendmail", "exit"], None),
], ids=["connect", "login", "suppressed-by-exit", "exit-raises-after-failure", "exit-raises-after-success"])
def test_failures_leave_the_connection_through_exit(log, monkeypatch, fail, suppress, raised, steps, exit_saw):
    monkeypatch.setattr(mailer, "smtplib", fakes.fake_smtplib(fail, suppress))
    m = mailer_for(use_ssl=False, use_tls=True)
    if raised is None:
        assert m._do_send(Message(), ["a@x"], "me@x") is None
    else:
        with pytest.raises(raised) as info:
            m._do_send(Message(), ["a@x"], "me@x")
        if exit_saw and exit_saw is not raised:  # raised by __exit__ while it handles the failure
            assert isinstance(info.value.__context__, exit_saw)
    assert [entry[0] for entry in log] == steps
    if steps[-1] == "exit":
        assert log[-1][1] == (exit_saw,)


def test_bad_connections_and_arguments_open_nothing(monkeypatch, log):
    m = mailer_for()
    for recipients, sender in [(("a",), "me"), (None, "me"), (["a"], None)]:
        with pytest.raises(TypeError):
            m._do_send(Message(), recipients, sender)
    assert log == []
    monkeypatch.setattr(mailer, "smtplib", types.SimpleNamespace(SMTP_SSL=lambda *a, **k: object()))
    with pytest.raises(TypeError, match="context manager protocol"):
        m._do_send(Message(), [], "me@x")


# -- send ----------------------------------------------------------------------

class Recorder(EasyMailer):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def _build_message(self, *args, **kwargs):
        self.calls.append(("build", args, kwargs))
        return "MSG"

    @staticmethod
    def _collect_recipients(*args, **kwargs):
        return ("collect", args, kwargs)

    def _do_send(self, *args, **kwargs):
        self.calls.append(("do_send", args, kwargs))
        return "ignored"


def test_send_chains_the_three_steps_through_self():
    r = Recorder("h", 25, "u@x", "p", False)
    assert r.send("to@x", "Hi", bcc=["b@x"], sender="") is None
    (_, bargs, bkwargs), (_, dargs, dkwargs) = r.calls
    assert bargs == () and list(bkwargs.items()) == [
        ("to", "to@x"), ("subject", "Hi"), ("body", None), ("html", None), ("cc", None), ("sender", ""),
        ("sender_name", None), ("attachments", None), ("reply_to", None)]
    assert dargs == ("MSG", ("collect", ("to@x", None, ["b@x"]), {}), "u@x") and dkwargs == {}
    r.calls.clear()
    r.send(("a", "b"), "Hi", cc="c@x", sender="s@x")
    assert r.calls[0][2]["cc"] == "c@x" and r.calls[1][1][1:] == (("collect", (("a", "b"), "c@x", None), {}), "s@x")


def test_send_type_errors_come_first_and_default_sender_is_read_late():
    r = Recorder("h", 25, "u@x", "p", False)
    with pytest.raises(TypeError, match="'subject'"):
        r.send("a", None, body=b"x")
    with pytest.raises(TypeError, match="'body'"):
        r.send("a", "s", body=b"x")
    assert r.calls == []
    r.default_sender = None
    r.send("a", "s")
    assert r.calls[-1][1][2] is None


def test_recipients_are_collected_before_connecting(log):
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        mailer_for(use_ssl=False).send("a@x", "s", cc=5)
    assert log == []


# -- send_template -------------------------------------------------------------

class Sends(EasyMailer):
    """Its own template engine, recording each render ("missing" templates raise); send records its arguments."""

    def render(self, name, variables):
        self.log.append(("render", name, variables))
        if name.startswith("missing"):
            raise LookupError(name)
        return f"<{name}>"

    def render_string(self, text, variables):
        self.log.append(("render_string", text, variables))
        return text.upper()

    def send(self, *args, **kwargs):
        self.sent = (args, kwargs)


def sends():
    s = Sends("h", 25, "u", "p")
    s.log, s.sent, s._template_engine = [], None, s
    return s


def test_send_template_renders_three_texts_with_one_dict():
    s = sends()
    assert s.send_template("to@x", "Hi {{name}}", "welcome.html", {"name": "Ann"}, bcc="b@x") is None
    assert [entry[:2] for entry in s.log] == [
        ("render", "welcome.html.html"), ("render", "welcome.html.txt"), ("render_string", "Hi {{name}}")]
    args, kwargs = s.sent
    assert args == () and list(kwargs) == ["to", "subject", "body", "html", "cc", "bcc", "sender",
                                           "sender_name", "attachments", "reply_to"]
    assert (kwargs["subject"], kwargs["body"], kwargs["html"], kwargs["bcc"]) == (
        "HI {{NAME}}", "<welcome.html.txt>", "<welcome.html.html>", "b@x")


@pytest.mark.parametrize("context", [None, {}, {"name": "Ann"}, {"occurred_at": 7}])
def test_send_template_variables(context):
    """An empty context is replaced by a new dict; a filled one is the caller's, given occurred_at unless it has one."""
    before = dict(context or {})
    s = sends()
    s.send_template("to@x", "s", "t", context)
    given = s.log[0][2]
    assert all(entry[2] is given for entry in s.log) and (given is context) == bool(before)
    if "occurred_at" not in before:
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", given.pop("occurred_at"))
    assert given == before


def test_send_template_fails_without_fallback_after_setting_occurred_at():
    s, context = sends(), {"x": 1}
    with pytest.raises(LookupError, match="missing.html"):
        s.send_template("to@x", "s", "missing", context)
    assert s.sent is None and "occurred_at" in context
