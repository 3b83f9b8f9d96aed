"""Message assembly, attachments and the envelope recipient list."""

import email
import email.policy
import os
import pathlib
import types

import pytest

import corvenda.mailer as mailer
from corvenda.mailer import EasyMailer
from fakes import Boom, Dict, Str, raising

A1, A2, A3, A4 = "ann@example.com", "bob@example.com", "cat@example.com", "dan@example.com"


@pytest.fixture
def m():
    return EasyMailer("smtp.example.com", 465, "user@example.com", "pw")


def build(m, to=A1, subject="Subject", **given):
    optional = dict.fromkeys(["body", "html", "cc", "sender", "sender_name", "attachments", "reply_to"])
    return m._build_message(to=to, subject=subject, **optional | given)


def parse(msg):
    return email.message_from_string(msg.as_string(), policy=email.policy.default)


# -- headers and bodies --------------------------------------------------------

@pytest.mark.parametrize("cc, reply_to, extra", [((A3,), "replies@example.com", ["Cc", "Reply-To"]),
                                                  (None, None, []), ("", "", []), ([], "", [])])
def test_headers_in_order_with_display_name_and_only_given_cc_and_reply_to(m, cc, reply_to, extra):
    msg = parse(build(m, to=[A1, A2], cc=cc, sender="me@example.com", sender_name="Zoë Ng", reply_to=reply_to))
    own = [k for k in msg.keys() if k not in ("Content-Type", "MIME-Version")]
    assert own == ["From", "To", "Subject", "Date", *extra]
    assert (msg["From"].addresses[0].display_name, msg["From"].addresses[0].addr_spec) == ("Zoë Ng", "me@example.com")
    assert msg["To"] == f"{A1}, {A2}" and msg["Cc"] == (A3 if cc else None)


@pytest.mark.parametrize("sender, sender_name, expected", [
    (None, None, "later@example.com"), ("", "", "later@example.com"), ("me@x.org", None, "me@x.org")])
def test_from_falls_back_to_the_default_sender_read_at_build_time(m, sender, sender_name, expected):
    m.default_sender = "later@example.com"
    assert build(m, sender=sender, sender_name=sender_name)["From"] == expected


@pytest.mark.parametrize("to, header", [
    ("a@x, b@x", "a@x, b@x"), ([], ""), ({A1}, A1), (frozenset([A2]), A2), ((A1, A2), f"{A1}, {A2}")])
def test_to_header_joins_collections(m, to, header):
    assert build(m, to=to)["To"] == header


def test_to_header_leaves_other_values_alone(m):
    it = iter([A1])
    assert build(m, to=it)["To"] is it and list(it) == [A1]


@pytest.mark.parametrize("body, html, shape", [
    ("text", "<p>html</p>", ["multipart/mixed", "multipart/alternative", "text/plain", "text/html"]),
    ("", "<p>html</p>", ["multipart/mixed", "text/html"]),
    ("text", "", ["multipart/mixed", "text/plain"]),
    (None, None, ["multipart/mixed"]),
])
def test_body_table(m, body, html, shape):
    built = build(m, body=body, html=html)
    assert [part.get_content_type() for part in built.walk()] == shape
    for part in built.walk():
        if part.get_content_maintype() == "text":
            assert part.get_content_charset() == "utf-8" and part.get_payload(decode=True).decode() in (body, html)


# -- attachments from files ----------------------------------------------------

def test_file_attachments(m, tmp_path, monkeypatch):
    pdf = b"%PDF-1.4 \x00\xff"
    for name, data in {"sub/report.pdf": pdf, "empty": b"", "notes.gz": b"zz", "~/a.txt": b"home?"}.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(data)
    os.symlink(tmp_path / "sub/report.pdf", tmp_path / "link.bin")
    monkeypatch.chdir(tmp_path)
    built = build(m, attachments=["sub/report.pdf", "empty", "notes.gz", str(tmp_path / "link.bin"),
                                  "sub/report.pdf", "~/a.txt"])
    assert "\nContent-Disposition: attachment; filename=report.pdf\n" in built.as_string()
    parts = list(parse(built).iter_attachments())
    assert [(p.get_content_type(), p.get_filename(), p.get_content()) for p in parts] == [
        ("application/pdf", "report.pdf", pdf), ("application/octet-stream", "empty", b""),
        ("application/octet-stream", "notes.gz", b"zz"), ("application/octet-stream", "link.bin", pdf),
        ("application/pdf", "report.pdf", pdf), ("text/plain", "a.txt", "home?")]  # a tilde is not expanded
    assert list(parts[0].keys()) == ["Content-Type", "MIME-Version", "Content-Transfer-Encoding", "Content-Disposition"]
    assert parts[0]["Content-Transfer-Encoding"] == "base64"


@pytest.mark.parametrize("argument", ["missing.txt", "dir", "dir//./", "dangling", ""])
def test_missing_files_raise_before_touching_the_message(m, tmp_path, monkeypatch, argument):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "dir").mkdir()
    os.symlink(tmp_path / "gone", tmp_path / "dangling")
    msg = build(m)
    with pytest.raises(FileNotFoundError) as info:
        m._attach_file(msg, argument)
    assert info.value.args == ("Attachment not found: " + argument,) and info.value.errno is None
    assert msg.get_payload() == []


def test_file_is_closed_when_the_payload_step_fails(m, tmp_path, monkeypatch):
    (tmp_path / "a.txt").write_text("data")

    monkeypatch.setattr(mailer, "MIMEBase", lambda *_: raising("set_payload")())
    msg = build(m)
    before = os.listdir("/proc/self/fd")
    for _ in range(20):
        with pytest.raises(Boom, match="set_payload"):
            EasyMailer._attach_file(msg, str(tmp_path / "a.txt"))
    assert len(os.listdir("/proc/self/fd")) == len(before) and msg.get_payload() == []


# -- attachments from memory ---------------------------------------------------

def test_record_attachments(m):
    """Each record (filename, data, content_type) and the type and name read back."""
    records = [
        ({"filename": "pic.png", "data": b"\x89PNG", "extra": [1]}, "image/png", "pic.png"),
        ({"filename": "pic.png", "data": b"1", "content_type": "text/csv"}, "text/csv", "pic.png"),
        ({"filename": "pic.png", "data": b"2", "content_type": None}, "image/png", "pic.png"),
        ({"filename": "noext", "data": b"", "content_type": ""}, "application/octet-stream", "noext"),
        ({"filename": "", "data": b"", "content_type": "a/b"}, "a/b", None),
        ({"filename": 42, "data": b"3", "content_type": "application/x-thing"}, "application/x-thing", "42"),
        ({"filename": "dir/a.txt", "data": b"4"}, "text/plain", "dir/a.txt"),
        ({"filename": "f", "data": b"", "content_type": "text/plain; x=a/b"}, "text/plain", "f"),  # first slash only
    ]
    built = build(m, attachments=[record for record, *_ in records])
    assert records[0][0] == {"filename": "pic.png", "data": b"\x89PNG", "extra": [1]}
    parts = parse(built).iter_attachments()
    assert [(p.get_content_type(), p.get_filename(), p.get_payload(decode=True)) for p in parts] == [
        (kind, name, record["data"]) for record, kind, name in records]
    text = built.as_string()
    assert "\nContent-Type: text/plain; x=a/b\n" in text and "\nContent-Disposition: attachment; filename=\n" in text


def splits(parts):
    """A content type whose split(sep, maxsplit) gives `parts`, one at a time."""
    return types.SimpleNamespace(split=lambda sep, maxsplit: iter(parts))


@pytest.mark.parametrize("record, error, message", [
    ({"data": b""}, KeyError, "'filename'"), ({}, KeyError, "'filename'"), ({"filename": "a"}, KeyError, "'data'"),
    ({"filename": "a", "data": b"", "content_type": "plain"}, ValueError, "need more than 1 value to unpack"),
    ({"filename": "a", "data": b"", "content_type": splits([])}, ValueError, "need more than 0 values to unpack"),
    ({"filename": "a", "data": b"", "content_type": splits("abc")}, ValueError,
     "too many values to unpack (expected 2)"),
    ({"filename": None, "data": b""}, TypeError, None), ({"filename": "a.txt", "data": 12}, TypeError, None),
])
def test_bad_records_leave_message_and_record_unchanged(m, record, error, message):
    msg = build(m)
    snapshot = dict(record)
    with pytest.raises(error) as info:
        EasyMailer._attach_binary(msg, record)
    if message:
        assert str(info.value) == message
    assert msg.get_payload() == [] and record == snapshot


@pytest.mark.parametrize("name", [
    "plain.txt", "Q3-report_v2.pdf", "my report.pdf", "my report; final.pdf", 'say "hi".txt', "报告.pdf",
    "tab\there.txt", "del\x7f.txt", *(f"a{special}b.txt" for special in '()<>@,;:\\"[]?=')])
def test_attachment_names_survive_the_round_trip(m, tmp_path, name):
    """Only a MIME token is written bare; every name reads back the same."""
    path = tmp_path / name
    path.write_bytes(b"x")
    built = build(m, attachments=[{"filename": name, "data": b"x"}, str(path)])
    assert [p.get_filename() for p in parse(built).iter_attachments()] == [name, name]
    bare = name in ("plain.txt", "Q3-report_v2.pdf")
    assert [p["Content-Disposition"] == f"attachment; filename={name}" for p in built.get_payload()] == [bare, bare]


def test_items_are_routed_by_type_through_the_instance(m):
    with pytest.raises(TypeError, match="'item'.*expected dict, got Dict"):
        build(m, attachments=[Dict(filename="a", data=b"")])
    for bad, name in [(b"a.txt", "bytes"), (pathlib.Path("a.txt"), "PosixPath"), (None, "NoneType")]:
        with pytest.raises(TypeError, match=f"'filepath'.*expected str, got {name}"):
            build(m, attachments=[bad])

    seen, items = [], ["a", {"x": 1}, "b", "c", "d"]

    class Routing(EasyMailer):
        @staticmethod
        def _attach_file(msg, filepath):
            seen.append(("file", filepath))

        @staticmethod
        def _attach_binary(msg, item):
            seen.append(("binary", item))
            items[2:] = [3]  # an override may change the list: it is read afresh at each step

    build(Routing("h", 25, "u", "p"), attachments=items)
    assert seen == [("file", "a"), ("binary", {"x": 1}), ("file", 3)]


def test_date_is_written_in_local_time(m, monkeypatch):
    monkeypatch.setattr(mailer, "formatdate", lambda **kw: f"date {kw}")
    assert build(m)["Date"] == "date {'localtime': True}"


# -- envelope recipients -------------------------------------------------------

@pytest.mark.parametrize("to, cc, bcc, expected", [
    (A1, None, None, [A1]), ([A1, A2], A3, [A4], [A1, A2, A3, A4]), (f"{A1}, {A2}", None, None, [f"{A1}, {A2}"]),
    (A1, A1, None, [A1, A1]), (None, None, None, []), ([], [], [], []), ("", None, None, [""]),
    ((A1,), {A2}, {A3: 1}, [A1, A2, A3]), ((x for x in [A1, A2]), None, None, [A1, A2]),
    (b"ab", None, None, [97, 98]), ([None, 5], None, None, [None, 5]),
])
def test_collect_recipients(to, cc, bcc, expected):
    assert EasyMailer._collect_recipients(to, cc, bcc) == expected


def test_collect_recipients_copies_and_keeps_subclass_objects():
    a = Str(A1)
    to = [A1]
    first, second = EasyMailer._collect_recipients(to, a, None), EasyMailer._collect_recipients(to, None, None)
    assert first[1] is a and first is not second and first is not to
    first.append("x")
    assert to == [A1]
