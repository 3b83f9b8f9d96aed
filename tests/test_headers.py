"""Headers that real servers accept and real readers parse back right: checked on the DATA the local SMTP
server received, lines folded at 78 characters (RFC 5322 allows 998), every value the same when parsed back."""

import email
import email.policy
import re

import pytest

from corvenda.mailer import EasyMailer


def delivered(server):
    """The one message the server accepted: its raw DATA and the parse of it."""
    [message] = server.messages
    raw = message.raw
    return raw, email.message_from_bytes(raw, policy=email.policy.default)


def pairs(header):
    return [(a.display_name, a.addr_spec) for a in header.addresses]


# -- long header lines are folded -------------------------------------------------

MANY = [f"recipient.number.{i:03}@example-company.org" for i in range(200)]

LONG_HEADERS = {
    "35-to": {"to": MANY[:35]},
    "one-over-78": {"to": ["a" * 46 + "@example.org", "bob@example.org"]},  # 79 characters on one line
    "200-to-and-cc": {"to": MANY, "cc": MANY[:50]},
    "chinese-subject": {"subject": "关于下一季度预算安排的通知" * 23},
    "attachment-name": {"attachments": [{"filename": "季度财务报告（最终版）" * 12 + ".pdf", "data": b"%PDF-1.7"}]},
}


@pytest.mark.parametrize("case", LONG_HEADERS)
def test_long_headers_are_folded_and_read_back_unchanged(plain_server, case):
    arguments = {"to": ["ann@example.org"], "cc": [], "subject": "Report", "body": "See attached.", "attachments": [],
                 **LONG_HEADERS[case]}
    plain_server.mailer().send(**arguments)

    raw, parsed = delivered(plain_server)
    assert max(len(line) for line in raw.split(b"\r\n")) <= 78
    assert [a for _, a in pairs(parsed["To"])] == arguments["to"] and parsed["Subject"] == arguments["subject"]
    assert ([a for _, a in pairs(parsed["Cc"])] == arguments["cc"]) if arguments["cc"] else "Cc" not in parsed
    assert [(p.get_filename(), p.get_content()) for p in parsed.iter_attachments()] == [
        (a["filename"], a["data"]) for a in arguments["attachments"]]


# Names whose percent escapes fall at every offset of a 60-character piece, one of ASCII letters, whose pieces
# are not shortened by escapes, and the longest name kept in one parameter (a line of 966 characters) and one more.
@pytest.mark.parametrize("name, split", [
    *[(name, True) for name in ["é" * 200 + ".txt", "x" + "é" * 200 + ".txt", "xy" + "é" * 200 + ".txt",
                                "季" * 120 + " final.pdf", "😀" * 80, "a" * 1000 + " b.txt"]],
    ("é" * 158, False), ("é" * 158 + "x", True)])
def test_long_attachment_names_are_written_as_numbered_pieces_of_whole_escapes(plain_server, name, split):
    plain_server.mailer().send("ann@example.org", "Report", attachments=[{"filename": name, "data": b"x"}])

    raw, parsed = delivered(plain_server)
    assert max(len(line) for line in raw.split(b"\r\n")) <= (78 if split else 998)
    assert [part.get_filename() for part in parsed.iter_attachments()] == [name]
    # Each piece is read on its own (RFC 2231): numbered from 0, whole escapes only.
    disposition = re.search(rb"Content-Disposition: (.*?)\r\n(?=\S)", raw, re.S).group(1)
    pieces = re.findall(rb"filename\*(\d+)\*=([^;\s]*)", re.sub(rb"\r\n[ \t]", b" ", disposition))
    assert [int(n) for n, _ in pieces] == list(range(len(pieces))) and (len(pieces) > 1) == split
    assert (b"filename*=" in raw) == (not split) and all(text.startswith(b"utf-8''") for _, text in pieces[:1])
    assert all(re.fullmatch(rb"(?:[^%]|%[0-9A-F]{2})*", text) for _, text in pieces)


# -- display names are encoded one by one -----------------------------------------

DISPLAY_NAMES = {
    "accents": [("Zoë Müller", "zoe@example.org"), ("José Ñúñez", "jose@example.es")],
    "chinese": [("王小明", "wang@example.cn")],
    "emoji": [("🎉 Party Team", "party@example.org")],
    "comma-in-quotes": [("Doe, Jane", "jane@example.org"), ("Łukasz", "lukasz@example.pl")],
    "quotes-in-quotes": [('Zoë "Z" Ng', "zoe@example.org"), ("Ann (Ops)", "ann@example.org")],
    "mixed": [("Ann", "ann@example.org"), ("", "bob@example.org"), ("Zoë", "zoe@example.org")],
}


def written(name, addr):
    if not name:
        return addr
    if any(c in name for c in ',"()'):
        name = '"' + name.replace('"', '\\"') + '"'
    return f"{name} <{addr}>"


@pytest.mark.parametrize("case", DISPLAY_NAMES)
def test_non_ascii_display_names_parse_back_to_the_same_addresses(plain_server, case):
    expected = DISPLAY_NAMES[case]
    texts = [written(*pair) for pair in expected]
    plain_server.mailer().send(texts, "Hello", body="x", cc=texts[::-1], reply_to=texts[-1],
                                  sender=written("Ré Ports", "reports@example.org"))

    _, parsed = delivered(plain_server)
    assert pairs(parsed["To"]) == expected
    assert pairs(parsed["Cc"]) == expected[::-1]
    assert pairs(parsed["Reply-To"]) == expected[-1:]
    assert pairs(parsed["From"]) == [("Ré Ports", "reports@example.org")]


@pytest.mark.parametrize("value", [
    "Ann <ann@example.org>,bob@example.org (Bob)", "ann@example.org, ", "Zoë", "zoë@exämple.org",
    "Zoë <zoe@example.org>, <>", "Zoë <zoe@example.org>, ann@exämple.org"])
def test_ascii_text_and_text_that_is_not_a_list_of_ascii_addresses_is_kept_whole(value):
    mailer = EasyMailer("h", 25, "u@example.org", "p")
    assert mailer._build_message(value, "s", *[None] * 7)["To"] == value
