"""Send over STARTTLS (port 587), with Cc, Bcc and Reply-To, and tell a
temporary failure from a permanent one.

The connection starts in plain text and is upgraded with STARTTLS before the
password is sent.  Bcc recipients receive the message but appear in no
header.

    SMTP_HOST=smtp.example.com SMTP_USERNAME=app@example.com \\
    SMTP_PASSWORD=app-password MAIL_TO=ann@example.com python send_starttls.py
"""

import os
import smtplib
import sys

from corvenda.mailer import EasyMailer

HOST = os.environ.get("SMTP_HOST", "smtp.example.com")
PORT = int(os.environ.get("SMTP_PORT", "587"))
USERNAME = os.environ.get("SMTP_USERNAME", "app@example.com")
PASSWORD = os.environ["SMTP_PASSWORD"]
TO = os.environ.get("MAIL_TO", "ann@example.com")


def main() -> int:
    mailer = EasyMailer(HOST, PORT, USERNAME, PASSWORD, use_ssl=False, use_tls=True)
    try:
        mailer.send(
            to=[TO, "Zoë Müller <zoe@example.com>"],
            subject="Meeting notes: Q3 planning",
            body="The notes of today's meeting are below.\n\n1. Budget approved.",
            cc="Team Leads <leads@example.com>",
            bcc=["archive@example.com"],
            reply_to="Planning <planning@example.com>",
        )
    except smtplib.SMTPResponseException as error:
        # The same class for both: the reply code tells them apart.
        kind = "temporary, try again later" if 400 <= error.smtp_code < 500 else "permanent"
        print(f"refused ({kind}): {error.smtp_code} {error.smtp_error!r}", file=sys.stderr)
        return 1
    except (smtplib.SMTPException, OSError) as error:
        # No answer, a refused connection, a TLS failure, every recipient refused...
        print(f"not sent: {error!r}", file=sys.stderr)
        return 1
    print(f"sent to {TO} through {HOST}:{PORT} with STARTTLS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
