"""Constructing an EasyMailer: conversions, type tests and stored attributes."""

import pathlib

import pytest

import corvenda.mailer as mailer
from corvenda.mailer import EasyMailer


def test_attributes_are_stored_in_order_with_defaults():
    m = EasyMailer("smtp.example.com", 465, "user@example.com", "pw")
    assert list(vars(m)) == ["host", "port", "username", "password", "use_ssl", "use_tls",
                             "default_sender", "_template_engine"]
    assert (m.use_ssl, m.use_tls, m.default_sender) == (True, False, "user@example.com")
    assert type(m._template_engine).__name__ == "TemplateEngine"
    m = EasyMailer("h", 25, "u", "p", False, default_sender="me@x")
    assert (m.use_ssl, m.use_tls, m.default_sender) == (False, False, "me@x")
    assert EasyMailer("h", 25, "u", "p", default_sender="").default_sender == "u"  # as if none were given


@pytest.mark.parametrize("port, stored", [(465.0, 465), (True, 1), (587.9, 587), (25, 25)])
def test_port_is_converted_to_a_plain_int(port, stored):
    m = EasyMailer("h", port, "u", "p")
    assert m.port == stored and type(m.port) is int


@pytest.mark.parametrize("value, stored", [(None, False), (1, True), ("yes", True), ("", False), (0.0, False)])
def test_flags_are_truth_values(value, stored):
    assert EasyMailer("h", 25, "u", "p", use_ssl=value).use_ssl is stored
    assert EasyMailer("h", 25, "u", "p", False, value).use_tls is stored


@pytest.mark.parametrize("args, kwargs, error, message", [
    # The port is tested first, even when host is wrong too.
    ((1, "25", "u", "p"), {}, TypeError, "Argument 'port' has incorrect type (expected int, got str)"),
    ((None, 25, "u", "p"), {}, TypeError, "Argument 'host' has incorrect type (expected str, got NoneType)"),
    (("h", 25, "u", None), {}, TypeError, "Argument 'password' has incorrect type (expected str, got NoneType)"),
    (("h", 25, "u", "p"), {"template_dir": pathlib.Path(".")}, TypeError,
     "Argument 'template_dir' has incorrect type (expected str, got PosixPath)"),
    (("h", 25, "u", "p"), {"default_sender": 1}, TypeError,
     "Argument 'default_sender' has incorrect type (expected str, got int)"),
    (("h", 587, "u", "p", True, True), {}, ValueError, "use_ssl and use_tls cannot both be True."),
    (("h", 587, "u", "p"), {"use_tls": True}, ValueError, "use_ssl and use_tls cannot both be True."),
    (("h", float("inf"), "u", "p"), {}, OverflowError, "cannot convert float infinity to integer"),
    (("h", 25, "u", "p"), {"use_ssl": type("Truthless", (), {"__bool__": lambda self: 1 / 0})()}, ZeroDivisionError,
     "division by zero"),
])
def test_invalid_configuration_is_refused_with_nothing_stored(args, kwargs, error, message):
    m = EasyMailer.__new__(EasyMailer)
    with pytest.raises(error) as info:
        m.__init__(*args, **kwargs)
    assert str(info.value) == message and vars(m) == {}


def test_the_engine_is_made_last_from_the_module_global_with_the_directory(monkeypatch, tmp_path):
    with pytest.raises(FileNotFoundError, match="nowhere"):
        EasyMailer("h", 25, "u", "p", template_dir=str(tmp_path / "nowhere"))
    calls = []
    monkeypatch.setattr(mailer, "TemplateEngine", lambda *args, **kwargs: calls.append((args, kwargs)) or "engine")
    assert EasyMailer("h", 25, "u", "p", template_dir=str(tmp_path))._template_engine == "engine"
    assert calls == [((str(tmp_path),), {})]
    monkeypatch.setattr(mailer, "TemplateEngine", lambda directory: 1 / 0)
    m = EasyMailer.__new__(EasyMailer)
    with pytest.raises(ZeroDivisionError):
        m.__init__("h", 25, "u", "p")
    assert "default_sender" in vars(m) and "_template_engine" not in vars(m)
    monkeypatch.delattr(mailer, "TemplateEngine")
    with pytest.raises(NameError, match="name 'TemplateEngine' is not defined"):
        EasyMailer("h", 25, "u", "p")
