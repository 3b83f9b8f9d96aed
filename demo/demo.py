"""Send one templated e-mail through a local SMTP server and show what arrived.

Run from the repository root:

    PYTHONPATH=src python3.14 demo/demo.py

Everything stays on this machine: the server listens on 127.0.0.1, requires
STARTTLS and a login, and presents a certificate from a CA made for this run
only (corvenda.testing.SMTPServer).  The client trusts that CA through
server.trust(), which sets SSL_CERT_FILE in this process.
"""

import csv
import os
import sys
import tempfile

from corvenda.mailer import EasyMailer
from corvenda.testing import SMTPServer

USER = "reports@corvenda.test"
PASSWORD = "demo-password"
TO = "ann@example.org"
CC = "ops@example.org"
BCC = "audit@example.org"

# Headers describing the MIME structure, shown in the tree instead.
STRUCTURAL = {"content-type", "mime-version", "content-transfer-encoding"}


def write_report(directory):
    path = os.path.join(directory, "disk-usage.csv")
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["host", "mount", "used_percent"])
        writer.writerows([["db-1", "/", 91], ["db-1", "/var", 64], ["web-1", "/", 37]])
    return path


def heading(title):
    print(f"\n{title}\n{'-' * len(title)}")


def show_mime_tree(part, depth=1):
    label = "  " * depth + part.get_content_type()
    if part.is_multipart():
        print(label)
        for child in part.iter_parts():
            show_mime_tree(child, depth + 1)
        return
    size = len(part.get_payload(decode=True))
    name = part.get_filename()
    print(f"{label:<28}{size:>6} bytes" + (f"   attachment {name}" if name else ""))


def show_received(server):
    [session] = server.sessions
    [delivered] = server.messages
    message = delivered.message

    heading("SMTP session")
    print("  " + " ".join(session.commands))
    print(f"  logged in as {session.login}" + (" after STARTTLS" if session.tls_at_auth else ""))

    heading("Envelope")
    print(f"  MAIL FROM  <{delivered.envelope_from}>")
    for address in delivered.envelope_to:
        hidden = address.encode() not in delivered.raw
        print(f"  RCPT TO    <{address}>" + ("   Bcc: in no header" if hidden else ""))

    heading("Headers")
    for name, value in message.items():
        if name.lower() not in STRUCTURAL:
            print(f"  {name}: {value}")

    heading("MIME structure")
    show_mime_tree(message)

    heading("Text part")
    for line in message.get_body(("plain",)).get_content().strip().splitlines():
        print(f"  {line}".rstrip())


def main():
    with tempfile.TemporaryDirectory(prefix="corvenda-demo-") as workdir, \
            SMTPServer("starttls", credentials=(USER, PASSWORD)) as server, server.trust():
        print("Corvenda mailer demo")
        print(f"Local SMTP server on {server.host}:{server.port}, STARTTLS and login required")

        report = write_report(workdir)
        mailer = EasyMailer(server.host, server.port, USER, PASSWORD, use_ssl=False, use_tls=True)
        mailer.send_template(
            TO,
            "{{ title }}",
            "notification",
            context={
                "title": "Disk usage report",
                "recipient_name": "Ann",
                "message": "db-1 is at 91% on /. The full report is attached.",
            },
            cc=CC,
            bcc=BCC,
            sender_name="Corvenda Monitoring",
            attachments=[report],
        )
        print(f'Sent the "notification" template to {TO}, Cc {CC}, Bcc {BCC},')
        print(f"with the attachment {os.path.basename(report)}.")
        show_received(server)
    return 0


if __name__ == "__main__":
    sys.exit(main())
