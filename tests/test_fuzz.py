"""Every method called with random arguments: it returns or raises an
ordinary exception, and leaves the objects it was given as they were.

Calls go through the class and through an instance, with random mixes of
positional and keyword arguments (duplicated and unknown keywords too),
drawn mostly from plausible values with awkward ones mixed in: subclasses of
the built-in types, objects whose __bool__, __index__, __iter__, __format__,
__fspath__ or split raise, bytes, paths, nested containers.  Delivery goes to
a recording fake and templates to a recording engine; the network is never
used and nothing is written.
"""

import inspect
import os
import subprocess
import sys
import textwrap
from email.mime.multipart import MIMEMultipart
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import corvenda.mailer as mailer
import fakes
from corvenda.mailer import EasyMailer
from fakes import BoolRaises, Dict, Engine, List, Message, NoSend, Str, fake_smtplib, fake_ssl, raising

EXAMPLES = 300  # per method

SplitRaises = raising("split", str)
IterRaisesList = raising("__iter__", list)
IndexRaises = raising("__index__")
IterRaises = raising("__iter__")
FormatRaises = raising("__format__")
FspathRaises = raising("__fspath__")

# What the fakes saw; only for keeping references alive, never asserted on.
LOG = []


class OddSelf:
    """Stands for self through the class: every attribute the wrong kind."""

    host = None
    port = "25"
    username = b"user"
    password = None
    use_ssl = BoolRaises()
    use_tls = IterRaises()
    default_sender = ["a@example.org"]
    _template_engine = None


# -- values ---------------------------------------------------------------------

# Filled by the `sandbox` fixture: name -> path of a file, a directory or
# nothing, all inside the test's temporary directory.
PATHS = {}

path_names = st.sampled_from(["report.pdf", "notes", "名字 (1).txt", "dir", "missing.pdf"])
file_paths = path_names.map(lambda name: PATHS[name])
texts = st.one_of(
    st.text(st.sampled_from("ab@.-_ /;:,=\"'\\\r\n\t\x00é报😀"), max_size=8),
    st.sampled_from(["ann@example.org", "Ann <ann@example.org>", "a@x, b@x", "", "   ", "=?utf-8?q?x?="]),
)
content_types = st.one_of(
    st.none(), st.sampled_from(["text/plain", "image/png", "application/x-y; q=1", "nodelimiter", "a/b/c", "/", ""]),
    texts,
)
records = st.fixed_dictionaries(
    {"filename": st.one_of(texts, path_names), "data": st.one_of(st.binary(max_size=16), texts)},
    optional={"content_type": content_types},
)

awkward = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), texts, st.binary(max_size=8),
    st.builds(bytearray, st.binary(max_size=8)),
    texts.map(Str), texts.map(SplitRaises),
    st.dictionaries(texts, texts, max_size=2).map(Dict),
    st.lists(texts, max_size=3).map(List), st.lists(texts, max_size=3).map(IterRaisesList),
    st.builds(BoolRaises), st.builds(IndexRaises), st.builds(IterRaises), st.builds(FormatRaises),
    st.builds(FspathRaises), st.builds(object), st.builds(Message), st.builds(MIMEMultipart),
    file_paths.map(Path), st.tuples(texts, texts), st.frozensets(texts, max_size=2),
    records.map(lambda r: {**r, "filename": FormatRaises()}),
    st.recursive(st.one_of(texts, st.none(), st.integers(), records),
                 lambda inner: st.lists(inner, max_size=3) | st.dictionaries(texts, inner, max_size=2),
                 max_leaves=6),
)

optional_texts = st.one_of(st.none(), texts)
addresses = st.one_of(texts, st.lists(texts, max_size=3), st.tuples(texts), st.frozensets(texts, max_size=2))
optional_addresses = st.one_of(st.none(), addresses)
attachments = st.one_of(st.none(), st.lists(st.one_of(file_paths, records), max_size=3))

# Plausible values for each parameter name (self is drawn separately).
PLAUSIBLE = {
    "host": texts,
    "port": st.one_of(st.integers(0, 70000), st.floats(0, 70000), st.booleans()),
    "username": texts,
    "password": texts,
    "use_ssl": st.booleans(),
    "use_tls": st.booleans(),
    "default_sender": optional_texts,
    "template_dir": st.one_of(st.none(), path_names.map(lambda name: PATHS[name])),
    "to": addresses,
    "subject": texts,
    "body": optional_texts,
    "html": optional_texts,
    "cc": optional_addresses,
    "bcc": optional_addresses,
    "sender": optional_texts,
    "sender_name": optional_texts,
    "attachments": attachments,
    "reply_to": optional_texts,
    "template_name": st.sampled_from(["notification", "welcome", "missing"]),
    "context": st.one_of(st.none(), st.just({}), st.dictionaries(texts, texts, max_size=3),
                         st.fixed_dictionaries({"occurred_at": texts})),
    "msg": st.one_of(st.builds(MIMEMultipart), st.builds(Message)),
    "filepath": file_paths,
    "item": records,
    "recipients": st.lists(texts, max_size=3),
}
PLAUSIBLE_FOR = {"_do_send": {"sender": texts}}
UNKNOWN_KEYWORDS = ["bogus", "self", "Self", "to ", "tö", "_to", "msg_", "context2"]
METHODS = ["__init__", "send", "send_template", "_build_message", "_attach_file", "_attach_binary",
           "_collect_recipients", "_do_send"]
STATIC = {"_attach_file", "_attach_binary", "_collect_recipients"}


@pytest.fixture
def sandbox(tmp_path, monkeypatch):
    (tmp_path / "report.pdf").write_bytes(b"%PDF-1.4")
    (tmp_path / "notes").write_bytes(b"plain")
    (tmp_path / "名字 (1).txt").write_text("text")
    (tmp_path / "dir").mkdir()
    PATHS.update({p.name: str(p) for p in tmp_path.iterdir()})
    PATHS["missing.pdf"] = str(tmp_path / "missing.pdf")
    # Relative names from the random texts resolve in the empty directory.
    monkeypatch.chdir(tmp_path / "dir")
    monkeypatch.setattr(mailer, "ssl", fake_ssl)
    monkeypatch.setattr(fakes, "record", LOG)
    yield
    PATHS.clear()


# -- snapshots -------------------------------------------------------------------


def snapshot(value, depth=0):
    """The observable state of `value`, read without running its own code."""
    kind = type(value)
    if depth > 20:
        return (kind, id(value))
    if isinstance(value, str):
        return (kind, str.__str__(value))
    if isinstance(value, (bool, int)):
        return (kind, int.__repr__(value))
    if isinstance(value, float):
        return (kind, float.__repr__(value))
    if isinstance(value, (bytes, bytearray)):
        return (kind, bytes(value))
    if isinstance(value, (list, tuple)):
        items = list.__getitem__(value, slice(None)) if isinstance(value, list) else tuple(value)
        return (kind, id(value), [snapshot(item, depth + 1) for item in items])
    if isinstance(value, dict):
        return (kind, id(value), [(snapshot(k, depth + 1), snapshot(v, depth + 1)) for k, v in dict.items(value)])
    if isinstance(value, (set, frozenset)):
        return (kind, sorted(map(repr, value)))
    if isinstance(value, Path):
        return (kind, str(value))
    state = getattr(value, "__dict__", {})
    return (kind, id(value), [(name, snapshot(v, depth + 1)) for name, v in state.items()])


# -- the calls -------------------------------------------------------------------


def make_instance(method):
    # _do_send is fuzzed on the class itself, everything else with delivery recorded.
    cls = EasyMailer if method == "_do_send" else NoSend
    instance = cls("smtp.example.org", 587, "user@example.org", "secret", use_ssl=False)
    instance._template_engine = Engine()
    return instance


def draw_call(data, method, instance):
    """(callable, args, kwargs, form) for one random call of `method`."""
    forms = ["class", "instance"] + (["construct"] if method == "__init__" else [])
    form = data.draw(st.sampled_from(forms), label="form")
    params = list(inspect.signature(getattr(EasyMailer, method)).parameters)
    if form == "construct":
        target, params = NoSend, params[1:]
    elif form == "instance":
        target = getattr(instance, method)
        params = params if method in STATIC else params[1:]
    else:
        target = getattr(EasyMailer, method)

    # Out of 20: how often a value is awkward.  A third of the calls have
    # binding faults: a required argument left out, one too many, a keyword
    # repeating a positional argument, an unknown keyword.
    chaos = data.draw(st.sampled_from([0, 1, 2, 4]), label="chaos")
    sloppy = data.draw(st.integers(0, 2), label="sloppy binding") == 0
    plausible = {**PLAUSIBLE, **PLAUSIBLE_FOR.get(method, {})}

    def odd(limit=chaos):
        return data.draw(st.integers(0, 19)) < limit

    def value(name):
        if name == "self":
            return data.draw(st.one_of(st.builds(OddSelf), awkward), label="self") if odd(max(chaos, 2)) else instance
        return data.draw(awkward if odd() else plausible[name], label=name)

    count = data.draw(st.integers(0, len(params)), label="positional")
    args = [value(name) for name in params[:count]]
    if sloppy and odd(5):
        args.append(data.draw(awkward, label="extra positional"))
    required = [name for name, p in inspect.signature(target).parameters.items() if p.default is p.empty]
    left_out = data.draw(st.sampled_from(required[count:])) if sloppy and required[count:] and odd(5) else None
    kwargs = {}
    for name in params[count:]:
        if name != left_out and (name in required or data.draw(st.booleans())):
            kwargs[name] = value(name)
    if sloppy and count and odd(5):
        kwargs[data.draw(st.sampled_from(params[:count]))] = data.draw(awkward)
    if sloppy and odd(5):
        kwargs[data.draw(st.sampled_from(UNKNOWN_KEYWORDS))] = data.draw(awkward)
    keys = data.draw(st.permutations(list(kwargs)), label="keyword order")
    return target, args, {key: kwargs[key] for key in keys}, form


def bind(method, form, instance, args, kwargs):
    """The arguments by parameter name, as Python would bind them, or None."""
    lead = [] if form == "class" or (form == "instance" and method in STATIC) else [instance]
    try:
        return inspect.signature(getattr(EasyMailer, method)).bind(*lead, *args, **kwargs).arguments
    except TypeError:
        return None


@pytest.mark.parametrize("method", METHODS)
@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_random_calls(sandbox, monkeypatch, method, data):
    LOG.clear()
    behaviour = data.draw(st.fixed_dictionaries(
        {}, optional={"fail": st.sampled_from(["connect", "enter", "starttls", "login", "sendmail", "exit"]),
                      "suppress": st.booleans()}), label="connection")
    monkeypatch.setattr(mailer, "smtplib", fake_smtplib(**behaviour))
    instance = make_instance(method)
    target, args, kwargs, form = draw_call(data, method, instance)

    given_objects = [instance, *args, *kwargs.values()]
    bound = bind(method, form, instance, args, kwargs) or {}
    context = bound.get("context") if method == "send_template" else None
    had_stamp = type(context) is dict and "occurred_at" in context
    before = [snapshot(obj) for obj in given_objects]

    try:
        target(*args, **kwargs)
        failed = False
        event("returned")
    except Exception as error:
        failed = True
        event(f"raised {type(error).__name__}")
    except BaseException as error:
        pytest.fail(f"{method} raised {type(error).__name__}, not an Exception: {error!r}")

    # What the method may change: the object __init__ sets up, the message
    # a successful _attach_* call attaches to, and the message _do_send
    # renders (the email package fixes its MIME boundary then).
    changeable = []
    if method == "__init__" and form != "construct":
        changeable.append(bound.get("self"))
    if method in ("_attach_file", "_attach_binary") and not failed or method == "_do_send":
        changeable.append(bound.get("msg"))
    if type(context) is dict and not had_stamp and "occurred_at" in context:
        assert type(context["occurred_at"]) is str
        del context["occurred_at"]
    for obj, old in zip(given_objects, before):
        if not any(obj is other for other in changeable):
            assert snapshot(obj) == old, f"{method} changed {obj!r}"


def test_connection_whose_type_misreports_its_mro():
    # The with block must use the type's real MRO: a metaclass can make
    # __mro__ say anything, including entries that are not types.  Run in a
    # child process, so that a crash fails this test only.
    code = textwrap.dedent("""
        import types
        import corvenda.mailer as mailer

        class Meta(type):
            __mro__ = property(lambda cls: (cls, 12345, "x"))

        class Base:
            def __enter__(self):
                return self

            def __exit__(self, *exc):
                return False

        class Connection(Base, metaclass=Meta):
            def login(self, *args):
                pass

            def sendmail(self, *args):
                pass

        class Msg:
            def as_string(self):
                return "Subject: x"

        mailer.smtplib = types.SimpleNamespace(SMTP=lambda *args: Connection(), SMTP_SSL=None)
        mailer.ssl = types.SimpleNamespace(create_default_context=object)
        m = mailer.EasyMailer("smtp.example.org", 25, "user", "secret", use_ssl=False)
        try:
            m._do_send(Msg(), ["ann@example.org"], "user@example.org")
        except Exception as error:
            print("raised", type(error).__name__)
        else:
            print("returned")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() in ("returned", "raised TypeError"), result.stdout
