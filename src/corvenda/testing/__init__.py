"""Test your application's mail against a real SMTP server on 127.0.0.1.

Needs the ``testing`` extra: ``pip install 'corvenda[testing]'`` (aiosmtpd
and trustme).  An SMTPServer runs in a background thread with TLS from a
throwaway certificate authority and a login, and records what arrived::

    from corvenda.testing import SMTPServer

    with SMTPServer("starttls") as server, server.trust():
        server.mailer().send("ann@example.com", "Welcome", body="Hello Ann")
        [received] = server.messages.wait_for(1)
        assert received["Subject"] == "Welcome" and received.text == "Hello Ann"
        assert received.envelope_to == ["ann@example.com"]
        assert server.sessions[0].tls_at_auth

With pytest the fixtures ``smtp_server``, ``mail_outbox`` and ``mailer`` are
available without any setup (see corvenda.testing.plugin).  ``python -m
corvenda.testing`` runs a development server that prints what arrives;
``DevServerProcess`` starts it in a child process for a test and stops it.
"""

__all__ = ["Attachment", "Authority", "DevServerProcess", "Outbox", "ReceivedMessage", "SMTPServer", "Session"]

try:
    from ._authority import Authority
    from ._devprocess import DevServerProcess
    from ._records import Attachment, Outbox, ReceivedMessage, Session
    from ._server import SMTPServer
except ModuleNotFoundError as error:
    _missing = (error.name or "").partition(".")[0]
    if _missing not in ("aiosmtpd", "trustme"):
        raise
    raise ImportError(
        f"corvenda.testing needs aiosmtpd and trustme ({_missing} is missing), "
        "which come with the testing extra: pip install 'corvenda[testing]'",
        name=_missing,
    ) from error
