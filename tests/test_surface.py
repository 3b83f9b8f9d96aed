"""The module namespace, the class, its method objects and argument binding."""

import datetime
import email.mime.multipart
import inspect
import os
import pydoc
import subprocess
import sys
import textwrap
import typing

import pytest

import corvenda.mailer as mailer
from corvenda.mailer import EasyMailer
from corvenda.template import TemplateEngine

METHODS = ["__init__", "send", "send_template", "_build_message", "_attach_file",
           "_attach_binary", "_collect_recipients", "_do_send"]
STATIC = {"_attach_file", "_attach_binary", "_collect_recipients"}


class Str(str):
    pass


@pytest.fixture
def m():
    return EasyMailer("smtp.example.com", 465, "user@example.com", "pw")


def test_namespace_binds_the_standard_library_and_the_engine():
    import mimetypes, pathlib, smtplib, ssl
    from email import encoders, utils
    assert mailer.smtplib is smtplib and mailer.ssl is ssl and mailer.mimetypes is mimetypes
    assert mailer.datetime is datetime.datetime
    assert mailer.MIMEMultipart is email.mime.multipart.MIMEMultipart
    assert mailer.encoders is encoders
    assert (mailer.formataddr, mailer.formatdate) == (utils.formataddr, utils.formatdate)
    assert (mailer.List, mailer.Optional, mailer.Union, mailer.Dict) == (
        typing.List, typing.Optional, typing.Union, typing.Dict)
    assert mailer.Path is pathlib.Path and mailer.TemplateEngine is TemplateEngine
    assert mailer.__doc__ is None


def test_class_shape():
    assert EasyMailer.__bases__ == (object,) and type(EasyMailer) is type
    assert EasyMailer.__module__ == "corvenda.mailer" and EasyMailer.__qualname__ == "EasyMailer"
    names = [k for k in vars(EasyMailer) if not k.startswith("__") or k == "__init__"]
    assert names == METHODS
    assert "mailer = EasyMailer(" in EasyMailer.__doc__
    for name in STATIC:
        assert type(vars(EasyMailer)[name]) is staticmethod


def test_method_objects_expose_their_description():
    for name in METHODS:
        fn = getattr(EasyMailer, name)
        assert fn.__name__ == name and fn.__qualname__ == f"EasyMailer.{name}"
        assert fn.__module__ == "corvenda.mailer" and fn.__kwdefaults__ is None
        assert fn.__globals__ is vars(mailer) and callable(fn)
        assert all(type(v) is str for v in fn.__annotations__.values())
    assert EasyMailer.__init__.__defaults__ == (True, False, None, None)
    assert EasyMailer.send.__defaults__ == (None,) * 8
    assert EasyMailer.send_template.__defaults__ == (None,) * 7
    assert EasyMailer._build_message.__defaults__ is None
    assert "return" not in EasyMailer.__init__.__annotations__
    assert EasyMailer.send.__annotations__["to"] == "Union[str, List[str]]"
    assert list(EasyMailer._do_send.__annotations__.items()) == [
        ("msg", "MIMEMultipart"), ("recipients", "List[str]"), ("sender", "str"), ("return", "None")]
    undocumented = {"_build_message", "_collect_recipients", "_do_send"}
    assert [name for name in METHODS if getattr(EasyMailer, name).__doc__ is None] == sorted(undocumented, key=METHODS.index)


def test_signatures_and_help_show_real_parameters(m):
    sig = inspect.signature(EasyMailer.send)
    assert list(sig.parameters)[:3] == ["self", "to", "subject"]
    assert sig.parameters["body"].default is None and sig.parameters["body"].annotation == "Optional[str]"
    assert sig.return_annotation == "None"
    assert str(inspect.signature(m._do_send)) == "(msg: 'MIMEMultipart', recipients: 'List[str]', sender: 'str') -> 'None'"
    assert str(inspect.signature(EasyMailer._collect_recipients)).startswith("(to: 'Union[str, List[str]]', cc:")
    assert inspect.signature(EasyMailer.__init__).parameters["use_ssl"].default is True
    text = pydoc.render_doc(EasyMailer, renderer=pydoc.plaintext)
    assert "send_template(\n |      self,\n |      to: Union[str, List[str]],\n |      subject: str,\n |      template_name: str," in text
    # Annotations resolve against the module namespace.
    assert typing.get_type_hints(EasyMailer._attach_binary)["item"] is typing.Dict


def test_instance_methods_bind_and_static_methods_do_not(m):
    assert m.send.__self__ is m and m.send.__func__ is EasyMailer.send
    assert m._collect_recipients is EasyMailer._collect_recipients
    assert EasyMailer._collect_recipients("a", None, None) == ["a"]
    assert EasyMailer.send.__get__(None, EasyMailer) is EasyMailer.send


@pytest.mark.parametrize("call, message", [
    (lambda m: m.send("a"), "send() takes at least 3 positional arguments (2 given)"),
    (lambda m: m.send(*range(11)), "send() takes at most 11 positional arguments (12 given)"),
    (lambda m: m._do_send(1, 2), "_do_send() takes exactly 4 positional arguments (3 given)"),
    (lambda m: m._do_send(1, 2, 3, 4), "_do_send() takes exactly 4 positional arguments (5 given)"),
    (lambda m: EasyMailer._collect_recipients(), "_collect_recipients() takes exactly 3 positional arguments (0 given)"),
    (lambda m: m._attach_file(1, 2, 3), "_attach_file() takes exactly 2 positional arguments (3 given)"),
    (lambda m: m._build_message(to="a"), "_build_message() takes exactly 10 positional arguments (2 given)"),
    (lambda m: m.send(subject="s"), "send() takes at least 3 positional arguments (1 given)"),
    (lambda m: m.send_template("a", "b", context={}), "send_template() takes at least 4 positional arguments (3 given)"),
    (lambda m: EasyMailer.send(to="a", subject="s"), "send() takes at least 3 positional arguments (0 given)"),
    (lambda m: EasyMailer("h", 25), "__init__() takes at least 5 positional arguments (3 given)"),
    (lambda m: m.send("a", "s", to="b"), "send() got multiple values for keyword argument 'to'"),
    (lambda m: m.send("a", "s", bogus=1), "send() got an unexpected keyword argument 'bogus'"),
    # A valid keyword right after the positional arguments, before or after the unknown one.
    (lambda m: m.send("a", subject="s", bogus=1), "send() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.send("a", bogus=1, subject="s"), "send() got an unexpected keyword argument 'bogus'"),
    (lambda m: EasyMailer._collect_recipients(1, 2, 3, to=1), "_collect_recipients() got multiple values for keyword argument 'to'"),
    (lambda m: EasyMailer._collect_recipients(1, 2, 3, 4, to=1), "_collect_recipients() takes exactly 3 positional arguments (4 given)"),
])
def test_binding_errors(m, call, message):
    with pytest.raises(TypeError) as info:
        call(m)
    assert str(info.value) == message


def test_binding_accepts_every_parameter_by_keyword(m):
    assert EasyMailer._collect_recipients(bcc=["c"], cc="b", to="a") == ["a", "b", "c"]
    calls = []

    class Recording(EasyMailer):
        def _do_send(self, msg, recipients, sender):
            calls.append((recipients, sender))

    r = Recording("h", 25, "u@x", "p", False)
    EasyMailer.send(self=r, to="a@x", subject="s", body="b")
    assert calls == [(["a@x"], "u@x")]
    # Keyword names are compared by value too, not only by identity.
    key = "".join(["sub", "ject"])
    r.send("a@x", **{key: "s"})
    assert len(calls) == 2


def test_non_string_keyword_names_are_refused():
    fn = EasyMailer._collect_recipients
    with pytest.raises(TypeError, match=r"keywords must be strings"):
        fn(1, 2, **{3: 4})


@pytest.mark.parametrize("value, got, note", [
    (None, "NoneType", False), (1, "int", False), (b"s", "bytes", False), (Str("s"), "Str", True)])
def test_exact_type_errors_carry_a_note_only_for_subclasses(m, value, got, note):
    with pytest.raises(TypeError) as info:
        m.send("a@x", value)
    assert str(info.value) == f"Argument 'subject' has incorrect type (expected str, got {got})"
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) is note
    if note:
        assert len(notes) == 1 and "subclasses of built-in types" in notes[0]


def test_type_tests_run_in_parameter_order_before_anything_happens(m, tmp_path):
    class D(dict):
        pass

    with pytest.raises(TypeError, match="'body'"):
        m.send("a", "s", b"body", html=1, attachments=())
    with pytest.raises(TypeError, match="'attachments'.*expected list, got tuple"):
        m.send("a", "s", attachments=())
    with pytest.raises(TypeError, match="'context'.*expected dict, got D") as info:
        m.send_template("a", "s", "t", D())
    assert info.value.__notes__
    with pytest.raises(TypeError, match="'recipients'.*expected list, got tuple"):
        m._do_send(None, ("a",), None)
    with pytest.raises(TypeError, match="'item'.*expected dict, got NoneType"):
        EasyMailer._attach_binary(None, None)


def test_late_binding_of_module_names(m, monkeypatch):
    monkeypatch.delattr(mailer, "MIMEMultipart")
    with pytest.raises(NameError, match=r"^name 'MIMEMultipart' is not defined$") as info:
        m._build_message("a", "s", None, None, None, None, None, None, None)
    assert info.value.name == "MIMEMultipart"
    # A name missing from the module falls back to the builtins.
    monkeypatch.setattr("builtins.MIMEMultipart", email.mime.multipart.MIMEMultipart, raising=False)
    assert m._build_message("a", "s", None, None, None, None, None, None, None)["To"] == "a"


def _python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})


def test_failed_import_leaves_nothing_and_is_retried():
    result = _python("""
        import sys
        sys.modules["corvenda.template"] = None
        try:
            import corvenda.mailer
        except ImportError as e:
            print("failed:", isinstance(e, ImportError))
        assert "corvenda.mailer" not in sys.modules
        del sys.modules["corvenda.template"]
        import corvenda.mailer
        print("retried:", corvenda.mailer.EasyMailer("h", 25, "u", "p").port)
    """)
    assert result.stdout.split("\n")[:2] == ["failed: True", "retried: 25"], result.stderr


def test_missing_name_in_sibling_module_is_an_import_error():
    result = _python("""
        import corvenda.template
        del corvenda.template.TemplateEngine
        try:
            import corvenda.mailer
        except ImportError as e:
            print(e)
    """)
    assert result.stdout.strip() == "cannot import name TemplateEngine", result.stderr


def test_imports_and_works_in_a_subinterpreter():
    from concurrent import interpreters
    interp = interpreters.create()
    try:
        interp.exec(textwrap.dedent("""
            import corvenda.mailer as mailer
            m = mailer.EasyMailer("smtp.example.com", 587.0, "u@x", "p", use_ssl=False, use_tls=1)
            assert (m.port, m.use_ssl, m.use_tls) == (587, False, True)
            msg = m._build_message(["a@x"], "s", "b", None, None, None, "N", [{"filename": "a.txt", "data": b"x"}], None)
            assert msg["From"] == "N <u@x>"
        """))
    finally:
        interp.close()
    # The main interpreter's module is unaffected.
    assert EasyMailer("h", 25, "u", "p")._template_engine is not None


def test_signature_built_by_two_threads_at_once_is_kept_once():
    # Both threads are inside the build (a barrier holds them there, as a
    # thread switch or a suspended critical section would): the first value
    # stored is the one every caller gets, and the other copy is freed.
    result = _python("""
        import gc, inspect, threading, weakref
        from corvenda.mailer import EasyMailer
        built, barrier = [], threading.Barrier(2, timeout=10)
        class Signature(inspect.Signature):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                built.append(weakref.ref(self))
                barrier.wait()
        inspect.Signature = Signature
        got = []
        threads = [threading.Thread(target=lambda: got.append(EasyMailer.send.__signature__)) for _ in range(2)]
        for t in threads: t.start()
        for t in threads: t.join(15)
        same = got[0] is got[1] is EasyMailer.send.__signature__
        del got
        gc.collect()
        print(len(built), same, sum(ref() is not None for ref in built))
    """)
    assert result.stdout.split() == ["2", "True", "1"], result.stderr


def test_version_in_the_source_tree_is_pyproject_version():
    import tomllib
    import corvenda
    with open(os.path.join(os.path.dirname(__file__), "..", "pyproject.toml"), "rb") as file:
        assert corvenda.__version__ == tomllib.load(file)["project"]["version"]
