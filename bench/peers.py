"""Other mail libraries building the same logical message, where installed.

Each peer is a small adapter: ``build(w)`` takes a workload (see contenders.py)
and returns the serialised message as a str, doing what an application using
that library would write.  A peer whose library cannot be imported is
reported with the reason and left out of the timings.
"""

from email.utils import formataddr

__all__ = ["load_peers"]


class Peer:
    def __init__(self, name, build=None, missing=None, version=None):
        self.name = name
        self.build = build        # callable(workload) -> str, or None
        self.missing = missing    # why it is not available, or None
        self.version = version


def _from_header(w):
    sender = w.sender or w.default_sender
    return formataddr((w.sender_name, sender)) if w.sender_name else sender


def _as_list(value):
    if value is None:
        return []
    return [value] if isinstance(value, str) else list(value)


def _django():
    try:
        import django
        from django.conf import settings
    except ImportError as exc:
        return Peer("Django", missing=f"not installed ({exc.name})")
    if not settings.configured:
        settings.configure(DEFAULT_CHARSET="utf-8", EMAIL_USE_LOCALTIME=False,
                           USE_TZ=True, DEFAULT_FROM_EMAIL="webmaster@localhost")
        django.setup()
    from django.core.mail import EmailMultiAlternatives

    def build(w):
        attachments = [(a["filename"], a["data"], a.get("content_type"))
                       for a in w.attachments or ()]
        alternatives = [(w.html, "text/html")] if w.html else None
        message = EmailMultiAlternatives(
            w.subject, w.body or "", _from_header(w), _as_list(w.to),
            cc=_as_list(w.cc), bcc=_as_list(w.bcc),
            reply_to=_as_list(w.reply_to), attachments=attachments,
            alternatives=alternatives,
        )
        return message.message().as_string()

    return Peer("Django", build=build, version=django.get_version())


def _flask_mail():
    try:
        import flask
        import flask_mail
    except ImportError as exc:
        return Peer("Flask-Mail", missing=f"not installed ({exc.name})")
    from importlib.metadata import version

    app = flask.Flask("corvenda-bench")
    app.config.update(MAIL_DEFAULT_SENDER="webmaster@localhost", MAIL_SUPPRESS_SEND=True)
    flask_mail.Mail(app)
    # Message() and its serialisation read the Mail extension of the current
    # app; one context stays pushed for the whole run.
    app.app_context().push()

    def build(w):
        sender = w.sender or w.default_sender
        attachments = [flask_mail.Attachment(a["filename"], a.get("content_type"), a["data"])
                       for a in w.attachments or ()]
        message = flask_mail.Message(
            w.subject, recipients=_as_list(w.to), body=w.body, html=w.html,
            sender=(w.sender_name, sender) if w.sender_name else sender,
            cc=_as_list(w.cc), bcc=_as_list(w.bcc), attachments=attachments,
            reply_to=w.reply_to,
        )
        return message.as_string()

    return Peer("Flask-Mail", build=build, version=version("flask-mail"))


def load_peers():
    return [_django(), _flask_mail()]
