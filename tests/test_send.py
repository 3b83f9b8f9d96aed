"""send, send_template and _do_send against recording fakes (real servers: test_delivery)."""

import re
import types

import pytest

import corvenda.mailer as mailer
from corvenda.mailer import EasyMailer


class FakeSMTP:
    """Records every call a connection receives, in one shared log."""

    def __init__(self, log, fail=None, suppress=False, exit_error=None):
        self.log, self.fail, self.suppress, self.exit_error = log, fail, suppress, exit_error

    def factory(self, kind):
        def make(*args, **kwargs):
            self.log.append((kind, args, kwargs))
            if self.fail == kind:
                raise OSError("connect failed")
            return Connection(self)
        return make


class Connection:
    def __init__(self, fake):
        self.fake = fake

    def __enter__(self):
        self.fake.log.append(("enter",))
        return self

    def __exit__(self, *exc):
        self.fake.log.append(("exit", exc[0], exc[1] is not None))
        if self.fake.exit_error:
            raise self.fake.exit_error
        return self.fake.suppress

    def _record(self, name, *args, **kwargs):
        self.fake.log.append((name, args, kwargs))
        if self.fake.fail == name:
            raise RuntimeError(f"{name} failed")
        return (250, b"ok")

    def starttls(self, *args, **kwargs):
        return self._record("starttls", *args, **kwargs)

    def login(self, *args, **kwargs):
        return self._record("login", *args, **kwargs)

    def sendmail(self, *args, **kwargs):
        return self._record("sendmail", *args, **kwargs)


class Msg:
    def __init__(self, log):
        self.log = log

    def as_string(self):
        self.log.append(("as_string",))
        return "the message"


@pytest.fixture
def fake(monkeypatch):
    log = []
    smtp = FakeSMTP(log)
    contexts = []

    def create_default_context():
        contexts.append(object())
        log.append(("context",))
        return contexts[-1]

    monkeypatch.setattr(mailer, "smtplib", types.SimpleNamespace(SMTP=smtp.factory("SMTP"),
                                                                 SMTP_SSL=smtp.factory("SMTP_SSL")))
    monkeypatch.setattr(mailer, "ssl", types.SimpleNamespace(create_default_context=create_default_context))
    smtp.contexts = contexts
    return smtp


def mailer_for(**security):
    return EasyMailer("smtp.example.com", 2525, "user", "secret", **security)


def test_implicit_tls_road(fake):
    m = mailer_for(use_ssl=True)
    m.use_tls = True  # ignored when use_ssl is true
    assert m._do_send(Msg(fake.log), ["a@x"], "me@x") is None
    ctx = fake.contexts[0]
    assert fake.log == [
        ("context",),
        ("SMTP_SSL", ("smtp.example.com", 2525), {"context": ctx}),
        ("enter",),
        ("login", ("user", "secret"), {}),
        ("as_string",),
        ("sendmail", ("me@x", ["a@x"], "the message"), {}),
        ("exit", None, False),
    ]


@pytest.mark.parametrize("use_tls", [True, 0, "", "yes"])
def test_plain_road_with_and_without_starttls(fake, use_tls):
    m = mailer_for(use_ssl=False)
    m.use_tls = use_tls
    recipients = []
    m._do_send(Msg(fake.log), recipients, "")
    ctx = fake.contexts[0]
    expected = [("context",), ("SMTP", ("smtp.example.com", 2525), {}), ("enter",)]
    if use_tls:
        expected.append(("starttls", (), {"context": ctx}))
    expected += [("login", ("user", "secret"), {}), ("as_string",),
                 ("sendmail", ("", recipients, "the message"), {}), ("exit", None, False)]
    assert fake.log == expected
    assert fake.log[-2][1][1] is recipients


def test_failures_inside_the_block_go_through_exit(fake):
    m = mailer_for(use_ssl=False, use_tls=True)
    fake.fail = "login"
    with pytest.raises(RuntimeError, match="login failed"):
        m._do_send(Msg(fake.log), ["a@x"], "me@x")
    assert [e[0] for e in fake.log] == ["context", "SMTP", "enter", "starttls", "login", "exit"]
    assert fake.log[-1] == ("exit", RuntimeError, True)

    fake.log.clear()
    fake.suppress = True
    assert m._do_send(Msg(fake.log), ["a@x"], "me@x") is None
    assert fake.log[-1] == ("exit", RuntimeError, True)

    fake.suppress, fake.exit_error = False, KeyError("from exit")
    with pytest.raises(KeyError) as info:
        m._do_send(Msg(fake.log), ["a@x"], "me@x")
    assert isinstance(info.value.__context__, RuntimeError)


def test_connect_failure_never_enters_the_block(fake):
    fake.fail = "SMTP_SSL"
    with pytest.raises(OSError, match="connect failed"):
        mailer_for()._do_send(Msg(fake.log), [], "me@x")
    assert [e[0] for e in fake.log] == ["context", "SMTP_SSL"]


def test_exit_failure_after_success_propagates(fake):
    fake.exit_error = ConnectionResetError("quit failed")
    with pytest.raises(ConnectionResetError):
        mailer_for()._do_send(Msg(fake.log), [], "me@x")
    assert ("sendmail", ("me@x", [], "the message"), {}) in fake.log


def test_connection_must_be_a_context_manager(monkeypatch, fake):
    monkeypatch.setattr(mailer, "smtplib", types.SimpleNamespace(SMTP_SSL=lambda *a, **k: object()))
    with pytest.raises(TypeError, match="context manager protocol"):
        mailer_for()._do_send(Msg(fake.log), [], "me@x")


def test_argument_errors_open_nothing(fake):
    m = mailer_for()
    for recipients, sender in [(("a",), "me"), (None, "me"), (["a"], None)]:
        with pytest.raises(TypeError):
            m._do_send(Msg(fake.log), recipients, sender)
    assert fake.log == []


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
    r.send(("a", "b"), "Hi", sender="s@x")
    assert r.calls[1][1][2] == "s@x"


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


def test_recipients_are_collected_before_connecting(fake):
    m = mailer_for(use_ssl=False)
    with pytest.raises(TypeError, match="not iterable"):
        m.send("a@x", "s", cc=5)
    assert fake.log == []


# -- send_template -------------------------------------------------------------

class Engine:
    def __init__(self, log):
        self.log = log

    def render(self, name, variables):
        self.log.append(("render", name, variables))
        return f"<{name}>"

    def render_string(self, text, variables):
        self.log.append(("render_string", text, variables))
        return text.upper()


class Sends(EasyMailer):
    def send(self, *args, **kwargs):
        self.sent = (args, kwargs)


def test_send_template_renders_three_texts_with_one_dict():
    s = Sends("h", 25, "u", "p")
    log = []
    s._template_engine = Engine(log)
    ctx = {"name": "Ann"}
    assert s.send_template("to@x", "Hi {{name}}", "welcome.html", ctx, bcc="b@x") is None
    assert [(e[0], e[1]) for e in log] == [
        ("render", "welcome.html.html"), ("render", "welcome.html.txt"), ("render_string", "Hi {{name}}")]
    assert all(e[2] is ctx for e in log)
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", ctx["occurred_at"])
    args, kwargs = s.sent
    assert args == () and list(kwargs) == ["to", "subject", "body", "html", "cc", "bcc", "sender",
                                           "sender_name", "attachments", "reply_to"]
    assert (kwargs["subject"], kwargs["body"], kwargs["html"], kwargs["bcc"]) == (
        "HI {{NAME}}", "<welcome.html.txt>", "<welcome.html.html>", "b@x")


@pytest.mark.parametrize("context", [None, {}])
def test_send_template_uses_a_new_dict_for_empty_context(context):
    s = Sends("h", 25, "u", "p")
    log = []
    s._template_engine = Engine(log)
    s.send_template("to@x", "s", "t", context)
    assert list(log[0][2]) == ["occurred_at"] and log[0][2] is not context
    assert context in (None, {})


def test_send_template_keeps_a_given_occurred_at_and_fails_without_fallback():
    s = Sends("h", 25, "u", "p")
    ctx = {"occurred_at": 7}
    log = []
    s._template_engine = Engine(log)
    s.send_template("to@x", "s", "t", ctx)
    assert log[0][2]["occurred_at"] == 7

    class Broken(Engine):
        def render(self, name, variables):
            raise LookupError(name)

    s._template_engine = Broken(log)
    s.sent = None
    ctx = {"x": 1}
    with pytest.raises(LookupError, match="t.html"):
        s.send_template("to@x", "s", "t", ctx)
    assert s.sent is None and "occurred_at" in ctx


def test_send_template_with_real_engine_escapes_only_html(tmp_path):
    (tmp_path / "t.html").write_text("<p>{{ v }}</p>")
    (tmp_path / "t.txt").write_text("{{ v }}")
    s = Sends("h", 25, "u", "p", template_dir=str(tmp_path))
    s.send_template("to@x", "Re: {{ v }}", "t", {"v": "<&>"})
    kwargs = s.sent[1]
    assert (kwargs["html"], kwargs["body"], kwargs["subject"]) == ("<p>&lt;&amp;&gt;</p>", "<&>", "Re: <&>")
    assert all(type(kwargs[k]) is str for k in ("html", "body", "subject"))
