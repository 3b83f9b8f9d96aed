"""The application under test: it sends its mail through corvenda."""

AUDIT = "audit@shop.example"


def signup(mailer, address):
    """Welcome a new customer; a copy goes to the audit mailbox in Bcc."""
    mailer.send(address, "Welcome", body=f"Hello {address}, your account is ready.",
                html="<p>Your account is <b>ready</b>.</p>", bcc=AUDIT, sender="shop@shop.example")
