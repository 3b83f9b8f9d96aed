"""Attach files from disk and data from memory (STARTTLS, port 587).

A file is given by its path and read when the message is built; data your
program holds is given as a record with a file name, the bytes and,
optionally, a content type (otherwise guessed from the name).

    SMTP_HOST=smtp.example.com SMTP_USERNAME=app@example.com \\
    SMTP_PASSWORD=app-password MAIL_TO=ann@example.com python attachments.py
"""

import csv
import io
import os
import tempfile
from typing import TYPE_CHECKING

from corvenda.mailer import EasyMailer

if TYPE_CHECKING:  # a name for type checkers only
    from corvenda.mailer import AttachmentRecord

HOST = os.environ.get("SMTP_HOST", "smtp.example.com")
PORT = int(os.environ.get("SMTP_PORT", "587"))
USERNAME = os.environ.get("SMTP_USERNAME", "app@example.com")
PASSWORD = os.environ["SMTP_PASSWORD"]
TO = os.environ.get("MAIL_TO", "ann@example.com")


def sales_csv() -> bytes:
    """A report made in memory."""
    text = io.StringIO()
    writer = csv.writer(text)
    writer.writerow(["region", "units"])
    writer.writerows([["north", 1200], ["south", 860]])
    return text.getvalue().encode("utf-8")


def main() -> None:
    mailer = EasyMailer(HOST, PORT, USERNAME, PASSWORD, use_ssl=False, use_tls=True)
    with tempfile.TemporaryDirectory() as folder:
        # A file on disk, as your application would have it; a missing path
        # raises FileNotFoundError before anything is sent.
        notes = os.path.join(folder, "notes.txt")
        with open(notes, "w", encoding="utf-8") as f:
            f.write("Figures are provisional until the 5th.\n")

        report: AttachmentRecord = {"filename": "sales.csv", "data": sales_csv()}
        logo: AttachmentRecord = {
            "filename": "logo",
            "data": bytes.fromhex("89504e470d0a1a0a"),
            "content_type": "image/png",  # the name alone tells nothing
        }
        mailer.send(
            to=TO,
            subject="Sales figures",
            body="The figures are attached.",
            attachments=[notes, report, logo, {"filename": "季度报告.txt", "data": "第三季度".encode()}],
        )
    print(f"sent to {TO} with 4 attachments")


if __name__ == "__main__":
    main()
