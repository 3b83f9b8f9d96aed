"""Send a message with a plain-text and an HTML body over implicit TLS.

Implicit TLS is the mailer's default: the connection is encrypted from the
first byte, usually on port 465.

    SMTP_HOST=smtp.example.com SMTP_USERNAME=app@example.com \\
    SMTP_PASSWORD=app-password MAIL_TO=ann@example.com python send_implicit_tls.py
"""

import os

from corvenda.mailer import EasyMailer

HOST = os.environ.get("SMTP_HOST", "smtp.example.com")
PORT = int(os.environ.get("SMTP_PORT", "465"))
USERNAME = os.environ.get("SMTP_USERNAME", "app@example.com")
PASSWORD = os.environ["SMTP_PASSWORD"]
TO = os.environ.get("MAIL_TO", "ann@example.com")


def main() -> None:
    mailer = EasyMailer(HOST, PORT, USERNAME, PASSWORD)  # use_ssl=True
    mailer.send(
        to=TO,
        subject="Your weekly summary",
        body="14 builds ran this week; 13 passed.",
        html="<p>14 builds ran this week; <b>13 passed</b>.</p>",
        sender_name="Build Reports",
    )
    print(f"sent to {TO} through {HOST}:{PORT} with implicit TLS")


if __name__ == "__main__":
    main()
