"""Score every built-in template's complete message with SpamAssassin (local tests only).

Built as send_template builds them (text and HTML, an attachment, sender name, Reply-To),
each is scored as built and with the Message-ID a submission server adds (some rules, such
as FONT_INVIS_MSGID, only fire then).  A rule outside ALLOWED is the templates' doing.
"""

import mailbox
import os
import subprocess
from email.utils import make_msgid

from conftest import require
from template_cases import CASES

from corvenda._process import child_environ
from corvenda.mailer import EasyMailer
from corvenda.template import TemplateEngine

# Rules the message structure causes, not the templates.
ALLOWED = {
    "MISSING_MID": "no Message-ID yet: the submission server adds it",
    "NO_RECEIVED": "informational (0 points): not relayed yet, so no Received header",
    "NO_RELAYS": "informational (0 points): not relayed yet",
    "HTML_MESSAGE": "informational (0.001): the message has an HTML part, by design",
}


def build_messages():
    mailer = EasyMailer("127.0.0.1", 25, "app@corvenda.test", "pw", use_ssl=False)
    engine = TemplateEngine(None)
    for name, label, variables in CASES:
        msg = mailer._build_message(
            "ann@example.com", "Your Acme Cloud notice",
            engine.render(f"{name}.txt", variables), engine.render(f"{name}.html", variables),
            None, "notices@corvenda.test", "Acme Cloud",
            [{"filename": "summary.pdf", "data": b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj <<>> endobj\ntrailer <<>>\n%%EOF\n"}],
            "support@corvenda.test")
        msg["X-Case"] = f"{name} / {label}"
        yield (name, label, "as built"), msg.as_string()
        msg["Message-ID"] = make_msgid(domain="corvenda.test")
        yield (name, label, "with Message-ID"), msg.as_string()


def score(messages, workdir):
    """Score the messages in one run; return {X-Case: {rule: points}} (the output's order is not the input's)."""
    inbox, outbox = os.path.join(workdir, "in.mbox"), os.path.join(workdir, "out.mbox")
    box = mailbox.mbox(inbox)
    for msg in messages:
        box.add(msg)
    box.close()
    with open(inbox, "rb") as stdin:
        run = subprocess.run(
            ["spamassassin", "-L", "-t", "-x", "--mbox", "--cf=add_header all Tests _TESTSSCORES(,)_"],
            stdin=stdin, capture_output=True, timeout=300, env=child_environ(HOME=workdir))
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    with open(outbox, "wb") as out:
        out.write(run.stdout)
    results, box = {}, mailbox.mbox(outbox)
    for msg in box:
        tests = "".join(msg["X-Spam-Tests"].split())
        key = " ".join(msg["X-Case"].split()) + (" / with Message-ID" if msg["Message-ID"] else " / as built")
        results[key] = {rule: float(points) for rule, points in (item.split("=") for item in tests.split(",") if item)}
    box.close()
    return results


def test_templates_trigger_no_spam_rules(tmp_path):
    require("spamassassin")
    labels, messages = zip(*build_messages())
    results = score(messages, str(tmp_path))
    assert sorted(results) == sorted(" / ".join(label) for label in labels)
    table = "\n".join(f"{key:50} {sum(rules.values()):5.1f}  {rules}" for key, rules in sorted(results.items()))
    assert not any(set(rules) - set(ALLOWED) for rules in results.values()), f"rules caused by the templates:\n{table}"
