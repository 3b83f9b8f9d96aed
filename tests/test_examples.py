"""The examples run as a user would run them, against the local SMTP server,
and the type stub describes the methods that exist."""

import ast
import inspect
import os
import subprocess
import sys

import pytest

import corvenda
from corvenda.mailer import EasyMailer

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")

# Each example, the server mode it is written for, and what must arrive.
EXPECTED = {
    "send_implicit_tls.py": ("ssl", lambda m: m.get_body(("html",)) is not None),
    "send_starttls.py": ("starttls", lambda m: m["Cc"].addresses[0].display_name == "Team Leads"
                         and "archive@" not in m.as_string()),
    "send_plain.py": ("plain", lambda m: m["From"] == "noreply@example.com"),
    "attachments.py": ("starttls", lambda m: [p.get_filename() for p in m.iter_attachments()]
                       == ["notes.txt", "sales.csv", "logo", "季度报告.txt"]),
    "custom_template.py": ("starttls", lambda m: m["Subject"] == "Invoice 2026-0042 from Acme"
                           and "€ 1,240.00" in m.get_body(("plain",)).get_content()),
}


def test_every_example_is_run():
    assert sorted(EXPECTED) == sorted(n for n in os.listdir(EXAMPLES) if n.endswith(".py"))


@pytest.mark.parametrize("name", EXPECTED)
def test_example_delivers(request, ca_pem, name):
    mode, check = EXPECTED[name]
    server = request.getfixturevalue(f"{mode}_server")
    user, password = server.credentials
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(corvenda.__file__)), SSL_CERT_FILE=ca_pem,
               SMTP_HOST=server.host, SMTP_PORT=str(server.port), SMTP_USERNAME=user, SMTP_PASSWORD=password,
               MAIL_TO="ann@example.org")
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, name)], env=env, cwd=EXAMPLES,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    [received] = server.messages
    assert received["To"].addresses[0].addr_spec == "ann@example.org"
    assert check(received.message), received.message.as_string()[:2000]


def test_stub_names_every_parameter_of_every_method():
    with open(os.path.join(os.path.dirname(corvenda.__file__), "mailer.pyi"), encoding="utf-8") as f:
        stub = ast.parse(f.read())
    [cls] = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "EasyMailer"]
    methods = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    for method in methods:
        function = inspect.getattr_static(EasyMailer, method.name)
        function = getattr(function, "__func__", function)  # staticmethod
        assert [a.arg for a in method.args.args] == list(inspect.signature(function).parameters)
        assert ast.get_docstring(method), f"{method.name} has no docstring in the stub"
    runtime = {n for n, v in vars(EasyMailer).items() if callable(v) or isinstance(v, staticmethod)}
    assert {m.name for m in methods} == runtime
