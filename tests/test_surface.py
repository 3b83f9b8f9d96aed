"""The module namespace, the class, its method objects and argument binding."""

import ctypes
import datetime
import email.mime.multipart
import inspect
import os
import pathlib
import pydoc
import subprocess
import sys
import textwrap
import typing

import pytest

import corvenda.mailer as mailer
import fakes
from corvenda.mailer import EasyMailer
from corvenda.template import TemplateEngine
from fakes import Dict, NoSend, Str


def vectorcall(fn, args, kwnames):
    """Calls `fn` as C code may: keyword names that Python code cannot pass."""
    call, obj = ctypes.pythonapi.PyObject_Vectorcall, ctypes.py_object
    call.restype, call.argtypes = obj, [obj, ctypes.POINTER(obj), ctypes.c_size_t, obj]
    return call(fn, (obj * len(args))(*args), len(args) - len(kwnames), kwnames)


@pytest.fixture
def m():
    return EasyMailer("smtp.example.com", 465, "user@example.com", "pw")


CLASS_DOC = """
    简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。

    使用示例：
        mailer = EasyMailer(
            host="smtp.example.com",
            port=465,
            username="sender@example.com",
            password="your-password",
            use_ssl=True
        )
        mailer.send(
            to="recipient@example.com",
            subject="Hello",
            body="This is a test email."
        )
    """
INIT_DOC = """
        初始化邮件发送器。

        参数说明：
            host: SMTP 服务器地址
            port: SMTP 服务器端口(465 对应SSL加密,587对应TLS加密,25为无加密明文端口)
            username: SMTP 登录账号
            password: SMTP 登录密码
            use_ssl: 是否启用SSL连接(通常搭配465端口使用)
            use_tls: 是否启用STARTTLS加密升级(通常搭配587端口使用),不可与use_ssl同时开启
            default_sender: 默认发件邮箱,未配置时将使用登录账号username作为发件人
            template_dir: 自定义邮件模板目录路径;传None则使用内置模板
        """
RECORD = '{"filename": "name.png", "data": bytes, "content_type": "image/png"}'
SEND_DOC = f"""
        发送邮件。

        参数说明：
            to: 收件人邮箱（可多个）
            subject: 邮件主题
            body: 纯文本正文
            html: HTML格式正文,若同时传入body与html,优先使用html内容
            cc: 抄送邮箱列表
            bcc: 密送邮箱列表
            sender: 发件人邮箱，会覆盖默认发件人配置
            sender_name: 发件人对外显示名称
            attachments: 附件列表，列表元素支持两种格式：
                - 字符串：待附加文件的本地路径
                - 字典：{RECORD}
                (content_type 选填，未指定时将根据文件名自动识别文件类型)
            reply_to: 回复收件邮箱地址
        """
SEND_TEMPLATE_DOC = f"""
        使用模板发送邮件。

        参数说明：
            to: 收件人邮箱地址（支持多个地址）
            subject: 邮件主题（同样支持通过 context 传入 Jinja2 变量渲染）
            template_name: 模板名称（无需填写文件后缀）
            context: 用于渲染模板的变量字典
            cc: 抄送邮箱列表
            bcc: 密送邮箱列表
            sender: 发件人邮箱地址
            sender_name: 发件人展示名称
            attachments: 附件列表，列表内元素支持两种格式：
                - 字符串：本地文件路径，直接作为附件上传
                - 字典：{RECORD}
                (content_type 为选填项，不传时会根据文件名自动识别文件类型)
            reply_to: 回复邮箱地址
        """
ATTACH_BINARY_DOC = f"""Attach binary data.

        Args:
            {RECORD}
                  content_type is optional, auto-detected from filename.
        """

TO, CC, FILES = "Union[str, List[str]]", "Optional[Union[str, List[str]]]", "Optional[List[Union[str, Dict]]]"
OPTIONAL = "sender: Optional[str]; sender_name: Optional[str]; attachments: " + FILES + "; reply_to: Optional[str]"
# Method: static?, __defaults__, __annotations__ ("name: text; ..." in order), __doc__.
SURFACE = {
    "__init__": (False, (True, False, None, None), "host: str; port: int; username: str; password: str; "
                 "use_ssl: bool; use_tls: bool; default_sender: Optional[str]; template_dir: Optional[str]", INIT_DOC),
    "send": (False, (None,) * 8, f"to: {TO}; subject: str; body: Optional[str]; html: Optional[str]; cc: {CC}; "
             f"bcc: {CC}; {OPTIONAL}; return: None", SEND_DOC),
    "send_template": (False, (None,) * 7, f"to: {TO}; subject: str; template_name: str; context: Optional[dict]; "
                      f"cc: {CC}; bcc: {CC}; {OPTIONAL}; return: None", SEND_TEMPLATE_DOC),
    "_build_message": (False, None, f"to: {TO}; subject: str; body: Optional[str]; html: Optional[str]; cc: {CC}; "
                       f"{OPTIONAL}; return: MIMEMultipart", None),
    "_attach_file": (True, None, "msg: MIMEMultipart; filepath: str; return: None", "Attach a file from a file path."),
    "_attach_binary": (True, None, "msg: MIMEMultipart; item: Dict; return: None", ATTACH_BINARY_DOC),
    "_collect_recipients": (True, None, f"to: {TO}; cc: {CC}; bcc: {CC}; return: List[str]", None),
    "_do_send": (False, None, "msg: MIMEMultipart; recipients: List[str]; sender: str; return: None", None),
}


def test_namespace_holds_exactly_the_standard_library_names_and_the_engine():
    import mimetypes, smtplib, ssl
    from email import encoders, utils
    from email.mime import base, text
    assert {k: v for k, v in vars(mailer).items() if not k.startswith("__")} == {
        "smtplib": smtplib, "ssl": ssl, "mimetypes": mimetypes, "datetime": datetime.datetime,
        "MIMEMultipart": email.mime.multipart.MIMEMultipart, "MIMEText": text.MIMEText, "MIMEBase": base.MIMEBase,
        "encoders": encoders, "formataddr": utils.formataddr, "formatdate": utils.formatdate,
        "List": typing.List, "Optional": typing.Optional, "Union": typing.Union, "Dict": typing.Dict,
        "Path": pathlib.Path, "TemplateEngine": TemplateEngine, "EasyMailer": EasyMailer}
    assert mailer.__doc__ is None


def test_class_and_methods_carry_the_published_texts():
    """Every name, default, annotation string and docstring, byte for byte, in class order."""
    assert EasyMailer.__bases__ == (object,) and type(EasyMailer) is type
    assert (EasyMailer.__module__, EasyMailer.__qualname__, EasyMailer.__doc__) == (
        "corvenda.mailer", "EasyMailer", CLASS_DOC)
    got = {}
    for name in [k for k in vars(EasyMailer) if not k.startswith("__") or k == "__init__"]:
        fn = getattr(EasyMailer, name)
        assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, f"EasyMailer.{name}", "corvenda.mailer")
        assert fn.__kwdefaults__ is None and fn.__globals__ is vars(mailer)
        assert all(type(v) is str for v in fn.__annotations__.values())
        annotations = "; ".join(f"{k}: {v}" for k, v in fn.__annotations__.items())
        got[name] = (type(vars(EasyMailer)[name]) is staticmethod, fn.__defaults__, annotations, fn.__doc__)
    assert list(got.items()) == list(SURFACE.items())


def test_method_objects_bind_and_show_real_signatures(m):
    assert str(inspect.signature(m._do_send)) == "(msg: 'MIMEMultipart', recipients: 'List[str]', sender: 'str') -> 'None'"
    assert inspect.signature(EasyMailer.__init__).parameters["use_ssl"].default is True
    text = pydoc.render_doc(EasyMailer, renderer=pydoc.plaintext)
    assert "send_template(\n |      self,\n |      to: Union[str, List[str]],\n |      subject: str,\n |      template_name: str," in text
    # Annotations resolve against the module namespace.
    assert typing.get_type_hints(EasyMailer._attach_binary)["item"] is typing.Dict
    # Instance methods bind, static methods do not.
    assert m.send.__self__ is m and m.send.__func__ is EasyMailer.send
    assert m._collect_recipients is EasyMailer._collect_recipients
    assert EasyMailer.send.__get__(None, EasyMailer) is EasyMailer.send


@pytest.mark.parametrize("call, message", [
    (lambda m: m.send("a"), "send() takes at least 3 positional arguments (2 given)"),
    (lambda m: m.send(*range(11)), "send() takes at most 11 positional arguments (12 given)"),
    (lambda m: m._do_send(1, 2), "_do_send() takes exactly 4 positional arguments (3 given)"),
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
    (lambda m: vectorcall(EasyMailer._collect_recipients, (1, 2, 3, 4), (5,)), "_collect_recipients() keywords must be strings"),
    # Exact-type tests, in parameter order, before anything happens; subclasses of the built-in type get a note.
    (lambda m: m.send("a@x", None), "Argument 'subject' has incorrect type (expected str, got NoneType)"),
    (lambda m: m.send("a@x", Str("s")), "Argument 'subject' has incorrect type (expected str, got Str) + note"),
    (lambda m: m.send("a", "s", b"body", html=1, attachments=()), "Argument 'body' has incorrect type (expected str, got bytes)"),
    (lambda m: m.send("a", "s", attachments=()), "Argument 'attachments' has incorrect type (expected list, got tuple)"),
    (lambda m: m.send_template("a", "s", "t", Dict()), "Argument 'context' has incorrect type (expected dict, got Dict) + note"),
    (lambda m: m._do_send(None, ("a",), None), "Argument 'recipients' has incorrect type (expected list, got tuple)"),
    (lambda m: EasyMailer._attach_binary(None, None), "Argument 'item' has incorrect type (expected dict, got NoneType)"),
])
def test_refusals(m, call, message):
    with pytest.raises(TypeError) as info:
        call(m)
    notes = getattr(info.value, "__notes__", [])
    assert str(info.value) + " + note" * len(notes) == message
    assert all("rejects subclasses of built-in types" in note for note in notes)


def test_binding_accepts_every_parameter_by_keyword(monkeypatch):
    """self included; keyword names compared by value too, not only by identity."""
    assert EasyMailer._collect_recipients(bcc=["c"], cc="b", to="a") == ["a", "b", "c"]
    monkeypatch.setattr(fakes, "record", [])
    r = NoSend("h", 25, "u@x", "p", False)
    EasyMailer.send(self=r, to="a@x", subject="s", body="b")
    r.send("b@x", **{"".join(["sub", "ject"]): "s"})
    assert [call[1:] for call in fakes.record] == [(["a@x"], "u@x"), (["b@x"], "u@x")]


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


@pytest.mark.parametrize("break_sibling, printed", [
    ('sys.modules["corvenda.template"] = None', "import of corvenda.template halted; None in sys.modules"),
    ("import corvenda.template; del corvenda.template.TemplateEngine", "cannot import name TemplateEngine"),
])
def test_failed_import_leaves_nothing_and_is_retried(break_sibling, printed):
    result = _python(f"""
        import sys
        {break_sibling}
        try:
            import corvenda.mailer
        except ImportError as e:
            print(e)
        assert "corvenda.mailer" not in sys.modules
        sys.modules.pop("corvenda.template")
        import corvenda.mailer
        print(corvenda.mailer.EasyMailer("h", 25, "u", "p").port)
    """)
    assert result.stdout.split("\n")[:2] == [printed, "25"], result.stderr


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
    assert EasyMailer("h", 25, "u", "p")._template_engine is not None


def test_signature_built_by_two_threads_at_once_is_kept_once():
    """A barrier holds both threads inside the build: every caller gets the first value stored, the other is freed."""
    result = _python("""
        import gc, inspect, threading, weakref
        from corvenda.mailer import EasyMailer
        built, got, barrier = [], [], threading.Barrier(2, timeout=10)
        class Signature(inspect.Signature):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                built.append(weakref.ref(self))
                barrier.wait()
        inspect.Signature = Signature
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
    text = (pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text(encoding="utf-8")
    assert corvenda.__version__ == tomllib.loads(text)["project"]["version"]
