"""Constructing an EasyMailer: conversions, type tests and stored attributes."""

import pytest

import corvenda.mailer as mailer
from corvenda.mailer import EasyMailer


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def test_attributes_are_stored_in_order_with_defaults():
    m = EasyMailer("smtp.example.com", 465, "user@example.com", "pw")
    assert list(vars(m)) == ["host", "port", "username", "password", "use_ssl", "use_tls",
                             "default_sender", "_template_engine"]
    assert (m.use_ssl, m.use_tls, m.default_sender) == (True, False, "user@example.com")
    assert type(m._template_engine).__name__ == "TemplateEngine"
    m = EasyMailer("h", 25, "u", "p", False, default_sender="me@x")
    assert (m.use_ssl, m.use_tls, m.default_sender) == (False, False, "me@x")
    # An empty default sender counts as none given.
    assert EasyMailer("h", 25, "u", "p", default_sender="").default_sender == "u"


@pytest.mark.parametrize("port, stored", [(465.0, 465), (True, 1), (587.9, 587), (25, 25)])
def test_port_is_converted_to_a_plain_int(port, stored):
    m = EasyMailer("h", port, "u", "p")
    assert m.port == stored and type(m.port) is int


@pytest.mark.parametrize("value, stored", [(None, False), (1, True), ("yes", True), ("", False), (0.0, False)])
def test_flags_are_truth_values(value, stored):
    m = EasyMailer("h", 25, "u", "p", use_ssl=value)
    assert m.use_ssl is stored
    m = EasyMailer("h", 25, "u", "p", False, value)
    assert m.use_tls is stored


@pytest.mark.parametrize("args, kwargs, error, message", [
    # The port is tested first, even when host is wrong too.
    ((1, "25", "u", "p"), {}, TypeError, "Argument 'port' has incorrect type (expected int, got str)"),
    ((None, 25, "u", "p"), {}, TypeError, "Argument 'host' has incorrect type (expected str, got NoneType)"),
    (("h", 25, "u", None), {}, TypeError, "Argument 'password' has incorrect type (expected str, got NoneType)"),
    (("h", 25, "u", "p"), {"template_dir": __import__("pathlib").Path(".")}, TypeError,
     "Argument 'template_dir' has incorrect type (expected str, got PosixPath)"),
    (("h", 25, "u", "p"), {"default_sender": 1}, TypeError,
     "Argument 'default_sender' has incorrect type (expected str, got int)"),
    (("h", 587, "u", "p"), {"use_tls": True}, ValueError, "use_ssl and use_tls cannot both be True."),
    (("h", float("inf"), "u", "p"), {}, OverflowError, "cannot convert float infinity to integer"),
    (("h", 25, "u", "p"), {"use_ssl": Truthless()}, ZeroDivisionError, "no truth"),
])
def test_invalid_configuration(args, kwargs, error, message):
    with pytest.raises(error) as info:
        EasyMailer(*args, **kwargs)
    assert str(info.value) == message


def test_nothing_is_stored_when_both_modes_are_requested():
    m = EasyMailer.__new__(EasyMailer)
    with pytest.raises(ValueError):
        m.__init__("h", 25, "u", "p", True, True)
    assert vars(m) == {}


def test_engine_is_created_late_with_one_positional_argument(monkeypatch, tmp_path):
    calls = []

    def engine(*args, **kwargs):
        calls.append((args, kwargs))
        return "the engine"

    monkeypatch.setattr(mailer, "TemplateEngine", engine)
    m = EasyMailer("h", 25, "u", "p", template_dir=str(tmp_path))
    assert m._template_engine == "the engine" and calls == [((str(tmp_path),), {})]

    def failing(directory):
        raise RuntimeError("engine failed")

    monkeypatch.setattr(mailer, "TemplateEngine", failing)
    m = EasyMailer.__new__(EasyMailer)
    with pytest.raises(RuntimeError):
        m.__init__("h", 25, "u", "p")
    assert "default_sender" in vars(m) and "_template_engine" not in vars(m)

    monkeypatch.delattr(mailer, "TemplateEngine")
    with pytest.raises(NameError, match="name 'TemplateEngine' is not defined"):
        EasyMailer("h", 25, "u", "p")


def test_missing_template_directory_fails_construction(tmp_path):
    with pytest.raises(FileNotFoundError, match="nowhere"):
        EasyMailer("h", 25, "u", "p", template_dir=str(tmp_path / "nowhere"))
