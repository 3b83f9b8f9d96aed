"""Every method called with random arguments returns or raises an ordinary exception, and leaves the objects it
was given as they were: through the class and an instance, random positional/keyword mixes and binding faults,
plausible values with awkward ones mixed in; delivery and templates go to recording fakes."""

import inspect
import types
from email.mime.multipart import MIMEMultipart
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import corvenda.mailer as mailer
import fakes
from corvenda.mailer import EasyMailer
from fakes import BoolRaises, Dict, Engine, List, Message, NoSend, Str, fake_smtplib, fake_ssl, raising

FormatRaises = raising("__format__")
# Stands for self through the class: every attribute the wrong kind.
OddSelf = type("OddSelf", (), dict(host=None, port="25", username=b"user", password=None, use_ssl=BoolRaises(),
                                   use_tls=raising("__iter__")(), default_sender=["a@x"], _template_engine=None))

NAMES = ["report.pdf", "notes", "名字 (1).txt", "dir", "missing.pdf"]  # files, a directory, nothing (`sandbox`)
PATHS = {}
path_names = st.sampled_from(NAMES)
file_paths = path_names.map(lambda name: PATHS[name])
texts = st.text(st.sampled_from("ab@.-_ /;:,=\"'\\\r\n\t\x00é报😀"), max_size=8) | st.sampled_from(
    ["ann@example.org", "Ann <ann@example.org>", "a@x, b@x", "", "   ", "=?utf-8?q?x?="])
content_types = st.one_of(
    st.none(), texts, st.sampled_from(["text/plain", "image/png", "application/x-y; q=1", "nodelimiter", "a/b/c", "/"]))
records = st.fixed_dictionaries({"filename": texts | path_names, "data": st.binary(max_size=16) | texts},
                                optional={"content_type": content_types})
awkward = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), texts, st.binary(max_size=8),
    st.builds(bytearray, st.binary(max_size=8)), texts.map(Str), texts.map(raising("split", str)),
    st.dictionaries(texts, texts, max_size=2).map(Dict), st.lists(texts, max_size=3).map(List),
    st.lists(texts, max_size=3).map(raising("__iter__", list)), st.builds(BoolRaises), st.builds(FormatRaises),
    *(st.builds(raising(name)) for name in ("__index__", "__iter__", "__fspath__")),
    st.builds(object), st.builds(Message), st.builds(MIMEMultipart), file_paths.map(Path),
    st.tuples(texts, texts), st.frozensets(texts, max_size=2), records.map(lambda r: {**r, "filename": FormatRaises()}),
    st.recursive(st.one_of(texts, st.none(), st.integers(), records),
                 lambda inner: st.lists(inner, max_size=3) | st.dictionaries(texts, inner, max_size=2), max_leaves=6),
)
addresses = st.one_of(texts, st.lists(texts, max_size=3), st.tuples(texts), st.frozensets(texts, max_size=2))

# Plausible values for each parameter name (self is drawn separately).
PLAUSIBLE = dict.fromkeys(["host", "username", "password", "subject"], texts) | dict.fromkeys(
    ["default_sender", "body", "html", "sender", "sender_name", "reply_to"], st.none() | texts) | dict.fromkeys(
    ["cc", "bcc"], st.one_of(st.none(), addresses)) | dict.fromkeys(["use_ssl", "use_tls"], st.booleans()) | {
    "port": st.integers(0, 70000) | st.floats(0, 70000) | st.booleans(), "item": records, "filepath": file_paths,
    "template_dir": st.none() | file_paths, "template_name": st.sampled_from(["notification", "welcome", "missing"]),
    "attachments": st.one_of(st.none(), st.lists(st.one_of(file_paths, records), max_size=3)),
    "context": st.one_of(st.none(), st.just({}), st.dictionaries(texts, texts, max_size=3),
                         st.fixed_dictionaries({"occurred_at": texts})),
    "msg": st.builds(MIMEMultipart) | st.builds(Message), "to": addresses, "recipients": st.lists(texts, max_size=3),
}
UNKNOWN_KEYWORDS = ["bogus", "self", "Self", "to ", "tö", "_to", "msg_", "context2"]
METHODS = [name for name in vars(EasyMailer) if not name.startswith("__") or name == "__init__"]
STATIC = {"_attach_file", "_attach_binary", "_collect_recipients"}


@pytest.fixture
def sandbox(tmp_path, monkeypatch):
    for name in NAMES[:3]:
        (tmp_path / name).write_bytes(b"%PDF-1.4")
    (tmp_path / "dir").mkdir()
    PATHS.update({name: str(tmp_path / name) for name in NAMES})  # left for the next test to replace
    monkeypatch.chdir(tmp_path / "dir")  # relative names from the random texts resolve in an empty directory
    monkeypatch.setattr(mailer, "ssl", fake_ssl)


def snapshot(value, depth=0):
    """The observable state of `value`, read without running its own code."""
    kind = type(value)
    for base, read in ((str, str.__str__), (int, int.__repr__), (float, float.__repr__), (bytes, bytes),
                       (bytearray, bytes), (Path, str), ((set, frozenset), lambda v: sorted(map(repr, v)))):
        if isinstance(value, base):
            return (kind, read(value))
    if depth > 20:
        return (kind, id(value))
    if isinstance(value, (list, tuple)):
        items = list.__getitem__(value, slice(None)) if isinstance(value, list) else tuple(value)
        return (kind, id(value), [snapshot(item, depth + 1) for item in items])
    if isinstance(value, dict):
        return (kind, id(value), [(snapshot(k, depth + 1), snapshot(v, depth + 1)) for k, v in dict.items(value)])
    return (kind, id(value), [(name, snapshot(v, depth + 1)) for name, v in getattr(value, "__dict__", {}).items()])


def draw_call(data, method, instance):
    """(callable, args, kwargs, form) for one random call of `method`."""
    form = data.draw(st.sampled_from(["class", "instance"] + (["construct"] if method == "__init__" else [])))
    params = list(inspect.signature(getattr(EasyMailer, method)).parameters)
    target = {"construct": NoSend, "instance": getattr(instance, method), "class": getattr(EasyMailer, method)}[form]
    params = params if form == "class" or (form == "instance" and method in STATIC) else params[1:]
    # Out of 20: how often a value is awkward.  A third of the calls have binding faults: a required argument
    # left out, one too many, a keyword repeating a positional argument, an unknown keyword.
    chaos = data.draw(st.sampled_from([0, 1, 2, 4]), label="chaos")
    sloppy = data.draw(st.integers(0, 2), label="sloppy binding") == 0
    plausible = PLAUSIBLE | ({"sender": texts} if method == "_do_send" else {})

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
    kwargs = {name: value(name) for name in params[count:]
              if name != left_out and (name in required or data.draw(st.booleans()))}
    if sloppy and count and odd(5):
        kwargs[data.draw(st.sampled_from(params[:count]))] = data.draw(awkward)
    if sloppy and odd(5):
        kwargs[data.draw(st.sampled_from(UNKNOWN_KEYWORDS))] = data.draw(awkward)
    keys = data.draw(st.permutations(list(kwargs)), label="keyword order")
    return target, args, {key: kwargs[key] for key in keys}, form


@pytest.mark.parametrize("method", METHODS)
@settings(max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_random_calls(sandbox, monkeypatch, method, data):
    monkeypatch.setattr(fakes, "record", [])  # what the fakes saw: keeps references alive, never asserted on
    steps = st.sampled_from(["connect", "enter", "starttls", "login", "sendmail", "exit"])
    behaviour = st.fixed_dictionaries({}, optional={"fail": steps, "suppress": st.booleans()})
    monkeypatch.setattr(mailer, "smtplib", fake_smtplib(**data.draw(behaviour, label="connection")))
    instance = (EasyMailer if method == "_do_send" else NoSend)("smtp.example.org", 587, "u@x", "pw", use_ssl=False)
    instance._template_engine = Engine()
    target, args, kwargs, form = draw_call(data, method, instance)

    given_objects = [instance, *args, *kwargs.values()]
    lead = [] if form == "class" or (form == "instance" and method in STATIC) else [instance]
    try:
        bound = inspect.signature(getattr(EasyMailer, method)).bind(*lead, *args, **kwargs).arguments
    except TypeError:
        bound = {}
    context = bound.get("context") if method == "send_template" else None
    had_stamp = type(context) is dict and "occurred_at" in context
    before = [snapshot(obj) for obj in given_objects]
    failed = False
    try:
        target(*args, **kwargs)
    except Exception as error:
        failed = True
        event(f"raised {type(error).__name__}")
    except BaseException as error:
        pytest.fail(f"{method} raised {type(error).__name__}, not an Exception: {error!r}")

    # What may change: the object __init__ sets up, the message a successful _attach_* call attaches to, the
    # message _do_send renders (the email package fixes its MIME boundary then), the caller's context's stamp.
    changeable = [bound.get("self")] if method == "__init__" and form != "construct" else []
    if method in ("_attach_file", "_attach_binary") and not failed or method == "_do_send":
        changeable.append(bound.get("msg"))
    if type(context) is dict and not had_stamp and "occurred_at" in context:
        assert type(context["occurred_at"]) is str
        del context["occurred_at"]
    for obj, old in zip(given_objects, before):
        if not any(obj is other for other in changeable):
            assert snapshot(obj) == old, f"{method} changed {obj!r}"


def test_connection_whose_type_misreports_its_mro(monkeypatch):
    """The with block uses the type's real MRO, whatever a metaclass makes __mro__ say (entries that are no types)."""
    class Meta(type):
        __mro__ = property(lambda cls: (cls, 12345, "x"))

    connection = Meta("Connection", (fakes.Connection,), {})
    monkeypatch.setattr(mailer, "smtplib", types.SimpleNamespace(SMTP=lambda *args: connection(), SMTP_SSL=None))
    monkeypatch.setattr(mailer, "ssl", fake_ssl)
    EasyMailer("smtp.example.org", 25, "user", "secret", False)._do_send(Message(), ["a@x"], "u@x")
