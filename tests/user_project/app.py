"""The application under test: it sends its mail through corvenda."""

import time

AUDIT = "audit@shop.example"


def signup(mailer, address):
    """Welcome a new customer; a copy goes to the audit mailbox in Bcc."""
    mailer.send(address, "Welcome", body=f"Hello {address}, your account is ready.",
                html="<p>Your account is <b>ready</b>.</p>", bcc=AUDIT, sender="shop@shop.example")


def send_invoice(mailer, address, number, pdf):
    """An invoice with a link to pay it and the PDF attached."""
    url = f"https://shop.example/pay?invoice={number}&lang=en"
    mailer.send(address, f"Invoice {number}", body=f"Pay here: {url}.\nTotal: 5 €",
                html=f'<p><a href="{url.replace("&", "&amp;")}">Pay</a> · Total: 5 €</p>',
                attachments=[{"filename": f"invoice-{number}.pdf", "data": pdf},
                             {"filename": "terms.txt", "data": "Zahlbar in 14 Tagen — danke!",
                              "content_type": "text/plain; charset=utf-8"}])


def signup_later(mailer, address, delay=0.2):
    """Welcome a new customer from a background thread, as a job queue would."""
    import threading

    worker = threading.Thread(target=lambda: (time.sleep(delay), signup(mailer, address)))
    worker.start()
    return worker
