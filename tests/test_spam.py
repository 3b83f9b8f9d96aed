"""Score every built-in template's complete message with SpamAssassin.

The messages are built by EasyMailer._build_message exactly as send_template
builds them (text and HTML parts, one attachment, sender name, Reply-To) and
scored in one `spamassassin -L -t` run (local tests only). Each one is scored
as built and once more with the Message-ID a submission server adds, since
some rules (FONT_INVIS_MSGID) only fire then. Any rule outside ALLOWED fails
the test: those are caused by the templates' content or markup.
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
    """Score the messages in one run; return {X-Case: (score, {rule: points})}.

    spamassassin --mbox does not keep the input order, so results are
    matched by the X-Case header.
    """
    inbox = os.path.join(workdir, "in.mbox")
    box = mailbox.mbox(inbox)
    for msg in messages:
        box.add(msg)
    box.close()
    with open(inbox, "rb") as stdin:
        run = subprocess.run(
            ["spamassassin", "-L", "-t", "-x", "--mbox", "--cf=add_header all Tests _TESTSSCORES(,)_"],
            stdin=stdin, capture_output=True, timeout=300, env=child_environ(HOME=workdir))
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    outbox = os.path.join(workdir, "out.mbox")
    with open(outbox, "wb") as out:
        out.write(run.stdout)
    results, box = {}, mailbox.mbox(outbox)
    for msg in box:
        status, tests = (" ".join(msg[h].split()) for h in ("X-Spam-Status", "X-Spam-Tests"))
        rules = dict(item.split("=") for item in tests.replace(" ", "").split(",") if item)
        key = " ".join(msg["X-Case"].split()) + (" / with Message-ID" if msg["Message-ID"] else " / as built")
        results[key] = (float(status.split("score=")[1].split()[0]), {k: float(v) for k, v in rules.items()})
    box.close()
    return results


def test_templates_trigger_no_spam_rules(tmp_path):
    require("spamassassin")
    labels, messages = zip(*build_messages())
    results = score(messages, str(tmp_path))
    assert sorted(results) == sorted(" / ".join(label) for label in labels)
    table = "\n".join(f"{key:50} {points:5.1f}  {rules}" for key, (points, rules) in sorted(results.items()))
    assert not any(set(rules) - set(ALLOWED) for _, rules in results.values()), \
        f"rules caused by the templates:\n{table}"
