"""What corvenda.testing reads out of a received message: links, bodies, attachments."""

import smtplib

import pytest

from corvenda.testing import Outbox, SMTPServer

# (text body, HTML body, expected links)
LINKS = {
    "href-unescaped": (None, '<a href="https://x.example/p?a=1&amp;b=2">x</a>', ["https://x.example/p?a=1&b=2"]),
    "numeric-reference": (None, "<a href='https://x.example/&#x3f;q'>x</a>", ["https://x.example/?q"]),
    "area-and-upper-case": (None, '<MAP><AREA HREF="https://a.example/m"></MAP><A HREF=" mailto:z@example.org ">',
                            ["https://a.example/m", "mailto:z@example.org"]),
    "no-href": (None, '<a name="top">x</a><link href="https://css.example/s.css">', []),
    "sentence-punctuation": ("Go to https://x.example/a. Or https://x.example/b, or https://x.example/c!", None,
                             ["https://x.example/a", "https://x.example/b", "https://x.example/c"]),
    "closing-parenthesis": ("(https://x.example/q) für\nhttps://x.example/r", None,
                            ["https://x.example/q", "https://x.example/r"]),
    "parentheses": ("(see https://x.example/wiki/A_(b)) and <https://x.example/q?a=1&b=2>", None,
                    ["https://x.example/wiki/A_(b)", "https://x.example/q?a=1&b=2"]),
    "html-first-each-once": ("https://x.example/t then https://x.example/h",
                             '<a href="https://x.example/h">h</a><a href="https://x.example/h">again</a>',
                             ["https://x.example/h", "https://x.example/t"]),
}


@pytest.mark.parametrize("case", LINKS)
def test_links(plain_server, case):
    text, html, expected = LINKS[case]
    plain_server.mailer().send("ann@example.org", "Links", body=text, html=html)
    [received] = plain_server.messages.wait_for(1)
    assert (received.links, received.text, received.html) == (expected, text, html)


def test_wait_for_says_what_arrived_and_which_connections_delivered_nothing():
    with pytest.raises(AssertionError, match=r"^expected 1 message\(s\) within 0 s, 0 arrived$"):
        Outbox().wait_for(timeout=0)
    with SMTPServer("plain") as server:
        server.refuse_recipients("ghost@example.org")
        server.mailer().send("ann@example.org", "Hi", body="x")
        with pytest.raises(smtplib.SMTPRecipientsRefused):
            server.mailer().send("ghost@example.org", "Lost", body="x")
        for _ in range(5):  # five more: only the last five are listed
            with smtplib.SMTP(server.host, server.port, timeout=10) as client:
                client.noop()
        server.wait_idle()
        with pytest.raises(AssertionError) as caught:
            server.messages.wait_for(2, timeout=0.1)
        assert str(caught.value) == (
            "expected 2 message(s) within 0.1 s, 1 arrived:\n"
            "  1. from 'user@example.com' to ['ann@example.org'], subject 'Hi'\n"
            "connections that delivered nothing: 6\n" + "  NOOP QUIT\n" * 4 + "  NOOP QUIT")
        assert server.messages.wait_for(1) == list(server.messages)


def test_attachments_come_with_their_name_type_and_decoded_bytes(plain_server):
    plain_server.mailer().send("ann@example.org", "Files", body="x", attachments=[
        {"filename": "r.pdf", "data": b"%PDF\x00\xff"}, {"filename": "notes.txt", "data": "grüße"}])
    [received] = plain_server.messages.wait_for(1)
    assert [(a.filename, a.content_type, a.data) for a in received.attachments] == [
        ("r.pdf", "application/pdf", b"%PDF\x00\xff"), ("notes.txt", "text/plain", "grüße".encode())]
