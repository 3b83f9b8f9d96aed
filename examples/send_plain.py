"""Send through a plain SMTP relay (port 25) on a network you trust.

Nothing is encrypted, the password included: use this only with a relay on
the same machine or a private network.  The mailer logs in on every road.

    SMTP_HOST=relay.internal SMTP_USERNAME=app SMTP_PASSWORD=app-password \\
    MAIL_TO=ann@example.com python send_plain.py
"""

import os

from corvenda.mailer import EasyMailer

HOST = os.environ.get("SMTP_HOST", "relay.internal")
PORT = int(os.environ.get("SMTP_PORT", "25"))
USERNAME = os.environ.get("SMTP_USERNAME", "app")
PASSWORD = os.environ["SMTP_PASSWORD"]
TO = os.environ.get("MAIL_TO", "ann@example.com")
SENDER = os.environ.get("MAIL_FROM", "noreply@example.com")


def main() -> None:
    mailer = EasyMailer(HOST, PORT, USERNAME, PASSWORD, use_ssl=False, default_sender=SENDER)
    mailer.send(TO, "Disk space low on db-1", body="/var is 93% full.")
    print(f"sent to {TO} through {HOST}:{PORT} without encryption")


if __name__ == "__main__":
    main()
