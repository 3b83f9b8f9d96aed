"""The workloads and the contenders of bench.py's figures.

Contenders
  corvenda    corvenda.mailer.EasyMailer
  floor       bench/floor.py: the same standard-library calls written in Python
  peers       bench/peers.py: Django and Flask-Mail, where importable

Workloads: W1 text, one recipient; W2 text and HTML, three To, two Cc, one
Bcc, display name, Reply-To, two 20 KB attachments; W3 one 10 MB
attachment; W4 the built-in `notification` template with a rendered subject.

The loops are shared by every contender, so a loop's own cost is the same
on both sides of a ratio; each returns the nanoseconds its n calls took.
"""

import itertools
import os
import re
import time
from dataclasses import dataclass

from harness import HOST

import floor
from corvenda import mailer as corvenda_mailer

USER = "mailer@corvenda.test"
PASSWORD = "s3cret: pass"
KB = 1024
MB = 1024 * 1024
W3_SIZE = 10 * MB

MODULES = {"corvenda": corvenda_mailer, "floor": floor}


@dataclass(frozen=True)
class Workload:
    key: str
    title: str
    to: object
    subject: str
    body: str | None = None
    html: str | None = None
    cc: object = None
    bcc: object = None
    sender: str | None = None
    sender_name: str | None = None
    attachments: list | None = None
    reply_to: str | None = None
    default_sender: str = USER

    def build_args(self):
        """The positional arguments of _build_message, after self."""
        return (self.to, self.subject, self.body, self.html, self.cc, self.sender,
                self.sender_name, self.attachments, self.reply_to)


TEXT = (
    "Hello Ann,\n\n"
    "Your weekly summary is ready. 14 builds ran, 13 passed and one was\n"
    "cancelled. The longest build took 11 minutes; the median was 4 minutes.\n\n"
    "Reply to this message if something looks wrong.\n\n"
    "-- Corvenda Reports\n"
)

HTML = (
    "<!doctype html><html><head><meta charset=\"utf-8\"><title>Weekly summary</title></head>"
    "<body style=\"font-family:sans-serif\"><table width=\"600\" cellpadding=\"0\">"
    + "".join(
        f"<tr><td style=\"padding:4px 8px\">Build {i}</td><td>passed</td>"
        f"<td style=\"text-align:right\">{i * 7 % 60} min</td></tr>"
        for i in range(1, 25)
    )
    + "</table><p>Reply to this message if something looks wrong.</p></body></html>"
)


def make_workloads():
    return {
        "W1": Workload("W1", "text, 1 To", to="ann@example.org", subject="Weekly summary",
                       body=TEXT),
        "W2": Workload(
            "W2", "text+HTML, 3 To/2 Cc/1 Bcc, 2x20 KB",
            to=["ann@example.org", "bob@example.org", "cat@example.org"],
            subject="Weekly summary", body=TEXT, html=HTML,
            cc=["dan@example.org", "eve@example.org"], bcc=["fay@example.org"],
            sender="reports@corvenda.test", sender_name="Corvenda Reports",
            attachments=[
                {"filename": "chart.png", "data": os.urandom(20 * KB)},
                {"filename": "report.pdf", "data": os.urandom(20 * KB)},
            ],
            reply_to="help@corvenda.test",
        ),
        "W3": Workload("W3", "one 10 MB attachment", to="ann@example.org",
                       subject="Database dump", body="The dump is attached.\n",
                       attachments=[{"filename": "dump.bin", "data": os.urandom(W3_SIZE)}]),
    }


W4_TEMPLATE = "notification"
W4_SUBJECT = "[{{ product_name }}] {{ title }}"
W4_CONTEXT = {
    "recipient_name": "Ann",
    "product_name": "Corvenda",
    "title": "Build ready",
    "message": "All 12 jobs passed.\nThe artefacts are kept for 30 days.",
    "action_url": "https://ci.example.org/builds/7",
    "footer": "Corvenda Ltd, 1 Main St",
}


def make_mailer(module, port=465, **options):
    return module.EasyMailer(HOST, port, USER, PASSWORD, **options)


def quiet_class(base):
    """`base` with _do_send replaced by a no-op: send_template builds only."""
    class Quiet(base):
        def _do_send(self, msg, recipients, sender):
            pass
    Quiet.__name__ = Quiet.__qualname__ = "Quiet" + base.__module__.replace(".", "_")
    return Quiet


def capturing_class(base):
    class Capturing(base):
        last = None

        def _do_send(self, msg, recipients, sender):
            self.last = (msg.as_string(maxheaderlen=78), recipients, sender)
    return Capturing


def serialise(mailer):
    """callable(workload) -> the message `mailer` builds, serialised as _do_send does."""
    return lambda w: mailer._build_message(*w.build_args()).as_string(maxheaderlen=78)


# -- the loops ------------------------------------------------------------------------


def loop_build(method, args, n):
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        method(*args).as_string(maxheaderlen=78)
    return time.perf_counter_ns() - start


def loop_peer(build, workload, n):
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        build(workload)
    return time.perf_counter_ns() - start


def loop_template(method, to, subject, name, context, n):
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        method(to, subject, name, context.copy())
    return time.perf_counter_ns() - start


def loop_collect(function, n):
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        function("a@x", "b@x", None)
    return time.perf_counter_ns() - start


def loop_send(method, workload, n):
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        method(workload.to, workload.subject, body=workload.body)
    return time.perf_counter_ns() - start


def template_loop(module):
    """callable(n): send_template of W4 n times, with _do_send a no-op."""
    q = quiet_class(module.EasyMailer)(HOST, 465, USER, PASSWORD)
    return lambda n: loop_template(q.send_template, "ann@example.org", W4_SUBJECT, W4_TEMPLATE, W4_CONTEXT, n)


def contender_loop(module, figure, workloads):
    """callable(n) running `figure` n times with `module`'s EasyMailer."""
    if figure == "binding":
        fn = module.EasyMailer._collect_recipients
        return lambda n: loop_collect(fn, n)
    if figure == "W4":
        return template_loop(module)
    m, args = make_mailer(module), workloads[figure].build_args()
    return lambda n: loop_build(m._build_message, args, n)


# -- the floor's messages are corvenda's --------------------------------------------------


BOUNDARY = re.compile(r"={15}\d+==")
DATE = re.compile(r"^Date: .*$", re.M)
MESSAGE_ID = re.compile(r"^Message-ID: .*$", re.M)


def normalise(text):
    text = BOUNDARY.sub("=BOUNDARY=", text)
    text = DATE.sub("Date: -", text)
    return MESSAGE_ID.sub("Message-ID: -", text)


def check_floor_matches(workloads):
    """The floor must produce the very message corvenda does, or no ratio means anything."""
    c, f = serialise(make_mailer(corvenda_mailer)), serialise(make_mailer(floor))
    for w in workloads.values():
        if normalise(c(w)) != normalise(f(w)):
            raise SystemExit(f"bench: {w.key}: the floor's message differs from corvenda's; fix bench/floor.py")
    outputs = []
    for module in MODULES.values():
        m = capturing_class(module.EasyMailer)(HOST, 465, USER, PASSWORD)
        m.send_template("ann@example.org", W4_SUBJECT, W4_TEMPLATE, dict(W4_CONTEXT))
        text, recipients, sender = m.last
        outputs.append((normalise(text), recipients, sender))
    if outputs[0] != outputs[1]:
        raise SystemExit("bench: W4: the floor's send_template differs from corvenda's; fix bench/floor.py")
    if "Subject: [Corvenda] Build ready" not in outputs[0][0]:
        raise SystemExit("bench: W4: the subject was not rendered")
