"""Send templated mail from a template directory of your own (STARTTLS).

examples/templates/invoice.html and invoice.txt extend the built-in layout,
so the invoice gets the same look as the built-in templates.  Template
variables hold everything that comes from users; the subject is a template
too, so never build it from user input.

    SMTP_HOST=smtp.example.com SMTP_USERNAME=app@example.com \\
    SMTP_PASSWORD=app-password MAIL_TO=ann@example.com python custom_template.py
"""

import os

from corvenda.mailer import EasyMailer

HOST = os.environ.get("SMTP_HOST", "smtp.example.com")
PORT = int(os.environ.get("SMTP_PORT", "587"))
USERNAME = os.environ.get("SMTP_USERNAME", "app@example.com")
PASSWORD = os.environ["SMTP_PASSWORD"]
TO = os.environ.get("MAIL_TO", "ann@example.com")
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")


def main() -> None:
    mailer = EasyMailer(HOST, PORT, USERNAME, PASSWORD, use_ssl=False, use_tls=True, template_dir=TEMPLATES)
    mailer.send_template(
        to=TO,
        subject="Invoice {{ number }} from {{ product_name }}",
        template_name="invoice",
        context={
            "number": "2026-0042",
            "total": "€ 1,240.00",
            "invoice_url": "https://billing.example.com/invoices/2026-0042",
            "recipient_name": "Ann",
            "product_name": "Acme",
            "footer": "Acme Ltd, 1 Main St",
        },
    )
    print(f"sent invoice to {TO}")


if __name__ == "__main__":
    main()
