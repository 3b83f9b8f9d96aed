"""Stand-ins for what the mailer calls and is given, for the tests without a network (fuzzing, reference counts).
Every text a fake makes is new (``fresh``), so a reference kept or dropped too many shows in the totals; the
fakes keep nothing unless ``record`` is a list (a growing record would leak)."""

import smtplib
import types

from corvenda.mailer import EasyMailer

record = None  # where the fakes put what they are given, one tuple a call


def _record(*entry):
    if record is not None:
        record.append(entry)


def fresh(text):
    """A new str equal to `text` (at least two characters long)."""
    return "".join(list(text))


class Boom(Exception):
    """What the awkward values raise."""


def raising(method, base=object):
    """A subclass of `base` whose `method` raises Boom."""
    def fail(self, *args):
        raise Boom(method)

    return type(f"{base.__name__.capitalize()}Raising{method}", (base,), {method: fail})


BoolRaises = raising("__bool__")


# Subclasses of the built-in types, which the exact-type tests refuse.
Str, Dict, List = (type(base.__name__.capitalize(), (base,), {}) for base in (str, dict, list))


class Message:
    """A message stand-in: keeps what is attached, renders to a fixed text."""

    def __init__(self):
        self.parts = []

    def attach(self, part):
        self.parts.append(part)

    def as_string(self):
        return fresh("Subject: fake\n\nbody")


class Engine:
    """Renders a name to a line of HTML, a text to itself; a directory, template or text "missing..." raises."""

    def __init__(self, template_dir=None):
        if template_dir is not None and template_dir.startswith("missing"):
            raise FileNotFoundError(template_dir)

    def render(self, name, variables):
        _record("render", name)
        if name.startswith("missing"):
            raise LookupError(name)
        return fresh(f"<p>{name}</p>")

    def render_string(self, text, variables):
        _record("render_string", text)
        if text.startswith("missing"):
            raise LookupError(text)
        return fresh(text)


class NoSend(EasyMailer):
    """A mailer whose delivery only records what it would send."""

    def _do_send(self, msg, recipients, sender):
        _record(msg, recipients, sender)


def _failure(step):
    if step == "login":
        return smtplib.SMTPAuthenticationError(535, fresh("rejected"))
    return {"connect": ConnectionRefusedError, "enter": ConnectionResetError}.get(step, OSError)(fresh(step))


class Connection:
    """An SMTP client that records each step and accepts everything, except that each step named in `fail`
    ("enter", "starttls", "login", "sendmail", "exit") raises, and __exit__ returns `suppress`."""

    def __init__(self, fail=(), suppress=False):
        self.fail, self.suppress = fail, suppress

    def _step(self, name, *args, **kwargs):
        _record(name, args, kwargs)
        if name in self.fail:
            raise _failure(name)

    def __enter__(self):
        self._step("enter")
        return self

    def __exit__(self, *exc):
        self._step("exit", exc[0])
        return self.suppress

    def starttls(self, context):
        self._step("starttls", context=context)

    def login(self, user, password):
        self._step("login", user, password)

    def sendmail(self, sender, recipients, text):
        self._step("sendmail", sender, recipients, text)
        return {}


def fake_smtplib(fail=(), suppress=False):
    """smtplib whose SMTP and SMTP_SSL record their calls and make a Connection failing as told ("connect": at once)."""
    if isinstance(fail, str):
        fail = (fail,)

    def connect(kind):
        def make(*args, **kwargs):
            _record(kind, args, kwargs)
            if "connect" in fail:
                raise _failure("connect")
            return Connection(fail, suppress)
        return make

    return types.SimpleNamespace(SMTP=connect("SMTP"), SMTP_SSL=connect("SMTP_SSL"))


fake_ssl = types.SimpleNamespace(create_default_context=object)  # the context is never looked at
