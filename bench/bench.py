"""Benchmarks of corvenda.mailer against a pure-Python floor and peer libraries.

    make bench
    tools/in-sysroot env PYTHONPATH=src python3.14 bench/bench.py [--quick]

Contenders run in one process, interleaved within every round (the order
flips from one round to the next so drift hits both sides alike), with
gc.collect() before and the collector paused during each sample.  Figures
are medians over rounds; a ratio is the median of the per-round ratios of
corvenda to its reference, so both sides of a ratio come from the same
stretch of time.

Contenders
  corvenda    corvenda.mailer.EasyMailer
  floor       bench/floor.py: the same standard-library calls written in Python
  Django      EmailMultiAlternatives(...).message().as_string()    } only where
  Flask-Mail  Message(...).as_string() in an app context           } importable

Figures
  build       _build_message(...) + msg.as_string(maxheaderlen=78) per message
              (the serialisation _do_send uses), W1-W3;
              W4 is send_template with _do_send replaced by a no-op
  binding     EasyMailer._collect_recipients("a@x", "b@x", None) per call
  delivery    messages/s, W1 sent sequentially, one connection each, against
              aiosmtpd with AUTH (corvenda.testing) in a child process, per
              security mode
  memory      peak memory growth while building and serialising W3, as a
              multiple of the attachment size: tracemalloc in this process,
              and ru_maxrss of a fresh child process per sample
  instructions  (--callgrind) instructions per call under valgrind, a
              cross-check of the build and binding ratios free of timing noise

Results are printed as a table and written to bench/results/<time>.json.
"""

import argparse
import cProfile
import gc
import io
import itertools
import json
import math
import os
import platform
import pstats
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from dataclasses import dataclass
from datetime import datetime, timezone

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
for _path in (os.path.join(REPO, "src"), HERE):
    if _path not in sys.path:
        sys.path.insert(0, _path)

import floor  # noqa: E402
import peers  # noqa: E402
from corvenda import mailer as corvenda_mailer  # noqa: E402

HOST = "127.0.0.1"
USER = "mailer@corvenda.test"
PASSWORD = "s3cret: pass"
MODES = ("plain", "starttls", "ssl")
SECURITY = {
    "plain": {"use_ssl": False, "use_tls": False},
    "starttls": {"use_ssl": False, "use_tls": True},
    "ssl": {"use_ssl": True, "use_tls": False},
}
KB = 1024
MB = 1024 * 1024
W3_SIZE = 10 * MB

# -- workloads -----------------------------------------------------------------


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


# -- the contenders' loops ---------------------------------------------------------
# One loop function per kind of figure, shared by every contender, so the
# loop's own cost is the same on both sides of a ratio.

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


# -- sampling -----------------------------------------------------------------------


def one_sample(run, n):
    """Nanoseconds per iteration of `run(n)`, collector paused."""
    gc.collect()
    gc.disable()
    try:
        return run(n) / n
    finally:
        gc.enable()


def calibrate(runs, target_ns, max_n):
    """Iterations per sample so that the slowest contender takes about target_ns.

    Every contender is warmed up first: the first calls fill caches (compiled
    templates and patterns, imports, the mimetypes table) that later calls reuse.
    """
    slowest = 0.0
    for run in runs.values():
        run(3)
        n = 1
        while True:
            per = one_sample(run, n)
            if per * n >= target_ns / 4 or n >= max_n:
                break
            n *= 4
        slowest = max(slowest, per)
    return max(1, min(max_n, round(target_ns / slowest)))


def interleave(runs, n, rounds, budget_s, min_rounds=3):
    """Samples (ns per iteration) of each contender, round after round.

    Stops early after `min_rounds` once `budget_s` seconds have passed.
    """
    names = list(runs)
    samples = {name: [] for name in names}
    start = time.monotonic()
    for r in range(rounds):
        for name in names if r % 2 == 0 else reversed(names):
            samples[name].append(one_sample(runs[name], n))
        if r + 1 >= min_rounds and time.monotonic() - start > budget_s:
            break
    return samples


def paired_ratio(samples, a, b, invert=False):
    """Median of the per-round ratios a/b (b/a when `invert`), and its 95% interval.

    The interval is distribution-free: the order statistics around the
    median that a Binomial(n, 1/2) count puts 95% of the probability between.
    """
    ratios = sorted((y / x if invert else x / y) for x, y in zip(samples[a], samples[b]))
    n = len(ratios)
    j = 1  # the j-th smallest and the j-th largest bound the interval
    while j + 1 <= n - j and _binomial_tail(n, j + 1) <= 0.025:
        j += 1
    return statistics.median(ratios), (ratios[j - 1], ratios[n - j])


def _binomial_tail(n, k):
    """P(X < k) for X ~ Binomial(n, 1/2)."""
    return sum(math.comb(n, i) for i in range(k)) / 2 ** n


def spread(values):
    """Interquartile range relative to the median."""
    if len(values) < 4:
        return (max(values) - min(values)) / statistics.median(values)
    q = statistics.quantiles(values, n=4)
    return (q[2] - q[0]) / statistics.median(values)


# -- results -----------------------------------------------------------------------


@dataclass
class Row:
    figure: str           # what is measured
    unit: str
    values: dict          # contender -> median, in `unit`
    spreads: dict         # contender -> relative IQR
    samples: dict         # contender -> raw samples (ns or bytes)
    ratio: float | None = None
    interval: tuple | None = None  # 95% interval of the ratio
    versus: str | None = None   # the reference of the ratio
    target: str | None = None   # e.g. "<= 1.02"
    result: str = "info"        # met / missed / skipped / info
    note: str = ""
    id: str = ""                # stable key for comparing runs, e.g. "build.W1"

    def judge(self, op, bound):
        self.target = f"{op} {bound:.2f}"
        if self.ratio is None:
            self.result = "skipped"
            return
        ok = {"<=": self.ratio <= bound, ">=": self.ratio >= bound, "<": self.ratio < bound}[op]
        self.result = "met" if ok else "missed"


def make_row(figure, unit, samples, scale, versus="floor", lower_is_better=True):
    """A row from raw samples; `scale` turns a raw sample into `unit`."""
    values = {name: scale(statistics.median(s)) for name, s in samples.items() if s}
    spreads = {name: spread(s) for name, s in samples.items() if s}
    row = Row(figure, unit, values, spreads, samples, versus=versus)
    if versus in samples and "corvenda" in samples:
        row.ratio, row.interval = paired_ratio(samples, "corvenda", versus, invert=not lower_is_better)
    return row


# -- build-and-serialise --------------------------------------------------------------


BOUNDARY = re.compile(r"={15}\d+==")
DATE = re.compile(r"^Date: .*$", re.M)
MESSAGE_ID = re.compile(r"^Message-ID: .*$", re.M)


def normalise(text):
    text = BOUNDARY.sub("=BOUNDARY=", text)
    text = DATE.sub("Date: -", text)
    return MESSAGE_ID.sub("Message-ID: -", text)


def check_floor_matches(workloads):
    """The floor must produce the very message corvenda does, or no ratio means anything."""
    c, f = make_mailer(corvenda_mailer), make_mailer(floor)
    for w in workloads.values():
        a = normalise(c._build_message(*w.build_args()).as_string(maxheaderlen=78))
        b = normalise(f._build_message(*w.build_args()).as_string(maxheaderlen=78))
        if a != b:
            raise SystemExit(f"bench: {w.key}: the floor's message differs from corvenda's; fix bench/floor.py")
    outputs = []
    for module in (corvenda_mailer, floor):
        m = capturing_class(module.EasyMailer)(HOST, 465, USER, PASSWORD)
        m.send_template("ann@example.org", W4_SUBJECT, W4_TEMPLATE, dict(W4_CONTEXT))
        text, recipients, sender = m.last
        outputs.append((normalise(text), recipients, sender))
    if outputs[0] != outputs[1]:
        raise SystemExit("bench: W4: the floor's send_template differs from corvenda's; fix bench/floor.py")
    if "Subject: [Corvenda] Build ready" not in outputs[0][0]:
        raise SystemExit("bench: W4: the subject was not rendered")


def bench_build(cfg, workloads, peer_list):
    rows = []
    c, f = make_mailer(corvenda_mailer), make_mailer(floor)
    for key in ("W1", "W2", "W3"):
        w = workloads[key]
        args = w.build_args()
        runs = {
            "corvenda": lambda n, m=c._build_message: loop_build(m, args, n),
            "floor": lambda n, m=f._build_message: loop_build(m, args, n),
        }
        peer_runs = {p.name: (lambda n, b=p.build: loop_peer(b, w, n)) for p in peer_list if p.build}
        big = key == "W3"
        if big:
            # Half a second a message: the ratio gets all the rounds, the
            # peers (no target here) a few rounds of their own afterwards.
            n = 1
            for run in [*runs.values(), *peer_runs.values()]:
                run(1)
            samples = interleave(runs, n, cfg.big_rounds, 2 * cfg.budget_s)
            samples.update(interleave(peer_runs, n, cfg.big_peer_rounds, cfg.budget_s, min_rounds=1))
        else:
            runs.update(peer_runs)
            n = calibrate(runs, cfg.sample_ns, 100_000)
            samples = interleave(runs, n, cfg.rounds, cfg.budget_s)
        unit, scale = ("ms/msg", lambda ns: ns / 1e6) if big else ("µs/msg", lambda ns: ns / 1e3)
        row = make_row(f"build+serialise {key} ({w.title})", unit, samples, scale)
        row.judge("<=", 1.02)
        row.id = f"build.{key}"
        row.note = f"{n} per sample x {len(samples['corvenda'])} rounds"
        if big and peer_runs:
            row.note += f"; peers {len(samples[next(iter(peer_runs))])} rounds, not in the ratio"
        rows.append(row)
        if key in ("W1", "W2"):
            for p in peer_list:
                prow = Row(f"faster than {p.name} on {key}", "ratio", {}, {}, {}, versus=p.name)
                if p.build:
                    prow.ratio, prow.interval = paired_ratio(samples, "corvenda", p.name)
                else:
                    prow.note = f"{p.name} {p.missing}"
                prow.judge("<", 1.00)
                prow.id = f"peer.{p.name}.{key}"
                rows.append(prow)

    # W4: send_template, rendering with cached templates, then the build.
    qc = quiet_class(corvenda_mailer.EasyMailer)(HOST, 465, USER, PASSWORD)
    qf = quiet_class(floor.EasyMailer)(HOST, 465, USER, PASSWORD)
    runs = {
        name: (lambda n, m=m: loop_template(m.send_template, "ann@example.org", W4_SUBJECT,
                                            W4_TEMPLATE, W4_CONTEXT, n))
        for name, m in (("corvenda", qc), ("floor", qf))
    }
    n = calibrate(runs, cfg.sample_ns, 100_000)
    samples = interleave(runs, n, cfg.rounds, cfg.budget_s)
    row = make_row("send_template W4 (render + build, no send)", "µs/msg", samples,
                   lambda ns: ns / 1e3)
    row.id = "build.W4"
    row.note = f"{n} per sample x {len(samples['corvenda'])} rounds"
    rows.append(row)
    return rows


# -- binding cost ---------------------------------------------------------------------------


def bench_binding(cfg):
    runs = {
        "corvenda": lambda n, fn=corvenda_mailer.EasyMailer._collect_recipients: loop_collect(fn, n),
        "floor": lambda n, fn=floor.collect_recipients: loop_collect(fn, n),
    }
    for fn in (corvenda_mailer.EasyMailer._collect_recipients, floor.collect_recipients):
        assert fn("a@x", "b@x", None) == ["a@x", "b@x"]
    n = calibrate(runs, cfg.sample_ns, 10_000_000)
    samples = interleave(runs, n, cfg.rounds, cfg.budget_s)
    row = make_row('binding _collect_recipients("a@x", "b@x", None)', "ns/call", samples,
                   lambda ns: ns)
    row.judge("<=", 0.60)
    row.id = "binding"
    row.note = f"{n} per sample x {len(samples['corvenda'])} rounds; loop overhead included on both sides"
    return [row]


# -- delivery ----------------------------------------------------------------------------


class ServerProcess:
    """corvenda.testing servers for every mode, in a child process.

    A child keeps the server's Python work off this process's interpreter
    lock, so the client side is what the timings compare.
    """

    def __init__(self, lifetime_s, command=None):
        """`command` runs another child that speaks the same protocol (bulk.py's)."""
        self.proc = subprocess.Popen(
            command or [sys.executable, os.path.abspath(__file__), "--serve-smtp", str(lifetime_s)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        line = self.proc.stdout.readline()
        if not line:
            self.close()
            raise RuntimeError("the SMTP server process did not start")
        info = json.loads(line)
        self.ports = info["ports"]
        self.ca_file = info["ca_file"]

    def stats(self):
        """Sessions, logins and messages per mode since the last call."""
        self.proc.stdin.write("stats\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        if self.proc.stdin:
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def serve_smtp(lifetime_s):
    """Child process: run the servers until stdin closes or lifetime_s passes."""
    from corvenda.testing import SMTPServer

    # Bounded even if the parent never closes our stdin.
    timer = threading.Timer(lifetime_s, os._exit, args=(3,))
    timer.daemon = True
    timer.start()
    servers = {mode: SMTPServer(mode, credentials=(USER, PASSWORD)).start() for mode in MODES}
    print(json.dumps({"ports": {m: s.port for m, s in servers.items()},
                      "ca_file": servers["plain"].ca_file}), flush=True)
    for line in sys.stdin:
        if line.strip() == "stats":
            out = {}
            for mode, s in servers.items():
                s.wait_idle(5)
                sessions = list(s.sessions)
                out[mode] = {"sessions": len(sessions),
                             "logins": sum(len(x.logins) for x in sessions),
                             "messages": len(s.messages)}
                s.clear()
            print(json.dumps(out), flush=True)
    for s in servers.values():
        s.stop()
    timer.cancel()


def bench_delivery(cfg, workloads):
    w = workloads["W1"]
    rows = []
    server = ServerProcess(lifetime_s=max(120, 6 * cfg.budget_s * len(MODES)))
    old_cert_file = os.environ.get("SSL_CERT_FILE")
    os.environ["SSL_CERT_FILE"] = server.ca_file  # what ssl.create_default_context() trusts
    try:
        server.stats()
        for mode in MODES:
            mailers = {
                name: make_mailer(module, server.ports[mode], **SECURITY[mode])
                for name, module in (("corvenda", corvenda_mailer), ("floor", floor))
            }
            runs = {name: (lambda n, m=m: loop_send(m.send, w, n)) for name, m in mailers.items()}
            for run in runs.values():  # warm-up, and a first check that delivery works
                run(2)
            samples = interleave(runs, cfg.sends, cfg.delivery_rounds, cfg.budget_s)
            sent = (len(samples["corvenda"]) + len(samples["floor"])) * cfg.sends + 4
            seen = server.stats()[mode]
            if not (seen["messages"] == seen["sessions"] == seen["logins"] == sent):
                raise SystemExit(f"bench: delivery {mode}: sent {sent} messages, the server saw {seen}")
            row = make_row(f"delivery W1, {mode}", "msg/s", samples, lambda ns: 1e9 / ns,
                           lower_is_better=False)
            row.judge(">=", 0.97)
            row.id = f"delivery.{mode}"
            row.note = (f"{cfg.sends} sends per sample x {len(samples['corvenda'])} rounds, "
                        "one connection each, aiosmtpd+AUTH in a child process")
            rows.append(row)
    finally:
        if old_cert_file is None:
            os.environ.pop("SSL_CERT_FILE", None)
        else:
            os.environ["SSL_CERT_FILE"] = old_cert_file
        server.close()
    return rows


# -- memory ------------------------------------------------------------------------------


def memory_builders(workloads, peer_list):
    """Contender -> callable(workload) -> serialised message."""
    c, f = make_mailer(corvenda_mailer), make_mailer(floor)
    builders = {
        "corvenda": lambda w: c._build_message(*w.build_args()).as_string(maxheaderlen=78),
        "floor": lambda w: f._build_message(*w.build_args()).as_string(maxheaderlen=78),
    }
    for p in peer_list:
        if p.build:
            builders[p.name] = p.build
    return builders


def traced_growth(build, w):
    """Bytes: tracemalloc's peak while building and serialising, over what was traced before."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        text = build(w)
        peak = tracemalloc.get_traced_memory()[1]
        del text
    finally:
        tracemalloc.stop()
    return peak - base


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def rss_child(name):
    """Child process: the ru_maxrss growth of one W3 build by contender `name`."""
    workloads = make_workloads()
    builders = memory_builders(workloads, peers.load_peers())
    build = builders[name]
    for key in ("W1", "W2"):  # load and initialise everything the build uses
        build(workloads[key])
    gc.collect()
    before_max = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * KB
    before = current_rss()
    text = build(workloads["W3"])
    after_max = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * KB
    print(json.dumps({"growth": after_max - before, "before": before, "before_max": before_max,
                      "after_max": after_max, "length": len(text)}))


def bench_memory(cfg, workloads, peer_list):
    w = workloads["W3"]
    builders = memory_builders(workloads, peer_list)
    for build in builders.values():  # warm-up outside the trace
        build(workloads["W2"])
    traced = {name: [] for name in builders}
    for r in range(cfg.memory_rounds):
        for name in builders if r % 2 == 0 else reversed(list(builders)):
            traced[name].append(traced_growth(builders[name], w))
    rows = []
    row = make_row("W3 peak memory growth (tracemalloc)", "x 10 MB", traced, lambda b: b / W3_SIZE)
    row.judge("<=", 1.02)
    row.id = "memory.W3.tracemalloc"
    row.note = f"{len(traced['corvenda'])} samples; Python allocations only"
    rows.append(row)

    rss = {name: [] for name in builders}
    for r in range(cfg.memory_rounds):
        for name in builders if r % 2 == 0 else reversed(list(builders)):
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--rss-child", name],
                                 capture_output=True, text=True, timeout=120, check=True)
            result = json.loads(out.stdout)
            rss[name].append(result["growth"])
    row = make_row("W3 peak memory growth (ru_maxrss, child process)", "x 10 MB", rss,
                   lambda b: b / W3_SIZE)
    row.judge("<=", 1.02)
    row.id = "memory.W3.maxrss"
    row.note = (f"{len(rss['corvenda'])} samples; fresh process each; peak RSS after the build "
                "minus RSS before it")
    rows.append(row)
    return rows


# -- profiling and instruction counts ----------------------------------------------------

CONTENDER_MODULES = {"corvenda": corvenda_mailer, "floor": floor}


def contender_loop(module, figure, workloads):
    """callable(n) running `figure` n times with `module`'s EasyMailer."""
    if figure == "binding":
        fn = module.EasyMailer._collect_recipients
        return lambda n: loop_collect(fn, n)
    if figure == "W4":
        q = quiet_class(module.EasyMailer)(HOST, 465, USER, PASSWORD)
        return lambda n: loop_template(q.send_template, "ann@example.org", W4_SUBJECT,
                                       W4_TEMPLATE, W4_CONTEXT, n)
    m, args = make_mailer(module), workloads[figure].build_args()
    return lambda n: loop_build(m._build_message, args, n)


PROFILE_N = {"W1": 2000, "W2": 300, "W3": 3, "W4": 2000, "binding": 200_000}


def profile(cfg, figure, workloads):
    """cProfile corvenda and the floor on one figure, heaviest functions first."""
    for name, module in CONTENDER_MODULES.items():
        run = contender_loop(module, figure, workloads)
        run(3)
        prof = cProfile.Profile()
        prof.runcall(run, PROFILE_N[figure])
        out = io.StringIO()
        pstats.Stats(prof, stream=out).sort_stats("tottime").print_stats(cfg.profile_lines)
        print(f"==== {name}: {figure} x {PROFILE_N[figure]} ====")
        print(out.getvalue())


def callgrind_child(name, figure, n):
    """Child process under callgrind: warm up, then run the figure n times."""
    run = contender_loop(CONTENDER_MODULES[name], figure, make_workloads())
    run(20 if figure != "binding" else 1000)
    if n:
        run(n)


CALLGRIND_N = {"W1": 200, "W2": 30, "W4": 200, "binding": 20_000}


def bench_instructions(cfg):
    """Instructions per message under callgrind: a cross-check free of timing noise.

    Each figure runs twice per contender, with and without the measured
    loop, in fresh processes; the difference over n is the count per call.
    """
    valgrind = shutil.which("valgrind")
    if not valgrind:
        return [Row("instructions (callgrind)", "", {}, {}, {}, result="skipped",
                    note="valgrind not found")]
    outdir = tempfile.mkdtemp(prefix="corvenda-bench-")
    jobs = []
    for figure, n in CALLGRIND_N.items():
        for name in CONTENDER_MODULES:
            for count in (0, n):
                out = os.path.join(outdir, f"{figure}.{name}.{count}")
                cmd = [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                       os.path.abspath(__file__), "--callgrind-child", name, figure, str(count)]
                jobs.append(((figure, name, count), out, cmd))
    totals = {}
    try:
        running = []
        pending = list(jobs)
        while pending or running:
            while pending and len(running) < (os.cpu_count() or 1):
                key, out, cmd = pending.pop(0)
                # A fixed hash seed: the same dict probes in every run.
                env = {**os.environ, "PYTHONHASHSEED": "0"}
                running.append((key, out, subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL,
                                                           stderr=subprocess.DEVNULL)))
            key, out, proc = running.pop(0)
            if proc.wait(timeout=600) != 0:
                raise SystemExit(f"bench: callgrind run {key} failed")
            totals[key] = _callgrind_total(out)
    finally:
        shutil.rmtree(outdir, ignore_errors=True)
    rows = []
    for figure, n in CALLGRIND_N.items():
        per = {name: (totals[figure, name, n] - totals[figure, name, 0]) / n
               for name in CONTENDER_MODULES}
        unit = "Ir/call" if figure == "binding" else "kIr/msg"
        scale = 1 if figure == "binding" else 1e-3
        row = Row(f"instructions {figure} (callgrind)", unit,
                  {k: v * scale for k, v in per.items()}, {}, {k: [v] for k, v in per.items()},
                  ratio=per["corvenda"] / per["floor"], versus="floor")
        row.id = f"instructions.{figure}"
        row.note = f"{n} calls, minus a run without them; deterministic, not judged"
        rows.append(row)
    return rows


def _callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise SystemExit(f"bench: no total in {path}")


# -- output -----------------------------------------------------------------------------------


def fmt(value, unit):
    if value is None:
        return "-"
    if unit in ("x 10 MB", "ratio"):
        return f"{value:.2f}"
    if value >= 1000:
        return f"{value:,.0f}"
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def render_table(rows, contenders):
    header = ["figure", "unit", *contenders, "ratio", "95% interval", "vs", "target", "result"]
    lines = []
    for row in rows:
        cells = [row.figure, row.unit]
        for name in contenders:
            if name in row.values:
                v = fmt(row.values[name], row.unit)
                s = row.spreads.get(name)
                cells.append(f"{v} ±{s * 100:.0f}%" if s is not None and s >= 0.005 else v)
            else:
                cells.append("")
        interval = f"{row.interval[0]:.3f}-{row.interval[1]:.3f}" if row.interval else ""
        cells += [f"{row.ratio:.3f}x" if row.ratio is not None else "-", interval, row.versus or "",
                  row.target or "", row.result]
        lines.append(cells)
    widths = [max(len(str(c)) for c in col) for col in zip(header, *lines)]
    out = []
    for i, cells in enumerate([header, *lines]):
        out.append("  ".join(str(c).ljust(w) if j < 2 else str(c).rjust(w)
                             for j, (c, w) in enumerate(zip(cells, widths))).rstrip())
        if i == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def git_commit():
    try:
        out = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10)
        dirty = subprocess.run(["git", "-C", REPO, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, timeout=10)
        return out.stdout.strip() + ("+dirty" if dirty.stdout.strip() else "")
    except (OSError, subprocess.SubprocessError):
        return None


# -- main ------------------------------------------------------------------------------------


SECTIONS = ("build", "binding", "delivery", "memory")
OPTIONAL_SECTIONS = ("instructions",)  # only when asked for


@dataclass
class Config:
    rounds: int = 41            # rounds of the microsecond figures
    big_rounds: int = 31        # rounds of W3, corvenda and the floor (one message per sample)
    big_peer_rounds: int = 5    # rounds of W3 for the peers
    sample_ns: float = 20e6     # aimed length of one sample
    budget_s: float = 45.0      # a figure stops adding rounds after this
    sends: int = 12             # sends per delivery sample
    delivery_rounds: int = 25
    memory_rounds: int = 3
    profile_lines: int = 30


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer and shorter samples (about a minute)")
    ap.add_argument("--rounds", type=int, help="rounds of the microsecond figures")
    ap.add_argument("--only", help="comma-separated sections among "
                    f"{', '.join(SECTIONS + OPTIONAL_SECTIONS)}")
    ap.add_argument("--callgrind", action="store_true",
                    help="add instruction counts under valgrind (about two minutes more)")
    ap.add_argument("--out", default=os.path.join(HERE, "results"), help="directory of the JSON results")
    ap.add_argument("--no-json", action="store_true", help="print only")
    ap.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    ap.add_argument("--profile", choices=("W1", "W2", "W3", "W4", "binding"),
                    help="cProfile corvenda and the floor on one figure instead of benchmarking")
    ap.add_argument("--serve-smtp", type=float, help=argparse.SUPPRESS)
    ap.add_argument("--rss-child", help=argparse.SUPPRESS)
    ap.add_argument("--callgrind-child", nargs=3, help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.serve_smtp is not None:
        return serve_smtp(args.serve_smtp)
    if args.rss_child is not None:
        return rss_child(args.rss_child)
    if args.callgrind_child is not None:
        name, figure, n = args.callgrind_child
        return callgrind_child(name, figure, int(n))

    cfg = Config()
    if args.quick:
        cfg = Config(rounds=9, big_rounds=7, big_peer_rounds=1, sample_ns=10e6, budget_s=10.0, sends=5,
                     delivery_rounds=9, memory_rounds=1)
    if args.rounds:
        cfg.rounds = args.rounds
    sections = SECTIONS if not args.only else tuple(s.strip() for s in args.only.split(","))
    if args.callgrind:
        sections += ("instructions",)
    unknown = set(sections) - set(SECTIONS + OPTIONAL_SECTIONS)
    if unknown:
        raise SystemExit(f"bench: unknown section(s): {', '.join(sorted(unknown))}")

    workloads = make_workloads()
    if args.profile:
        return profile(cfg, args.profile, workloads)

    peer_list = peers.load_peers()
    check_floor_matches(workloads)

    started = datetime.now(timezone.utc)
    t0 = time.monotonic()
    rows = []
    if "build" in sections:
        rows += bench_build(cfg, workloads, peer_list)
    if "binding" in sections:
        rows += bench_binding(cfg)
    if "delivery" in sections:
        rows += bench_delivery(cfg, workloads)
    if "memory" in sections:
        rows += bench_memory(cfg, workloads, peer_list)
    if "instructions" in sections:
        rows += bench_instructions(cfg)
    elapsed = time.monotonic() - t0

    contenders = ["corvenda", "floor", *[p.name for p in peer_list if p.build]]
    print(f"corvenda.mailer benchmark  {started:%Y-%m-%d %H:%M:%S} UTC  commit {git_commit()}  "
          f"Python {platform.python_version()}  {platform.machine()}  {os.cpu_count()} CPUs  "
          f"{'quick' if args.quick else 'full'} run, {elapsed:.0f} s")
    for p in peer_list:
        print(f"  {p.name}: {p.version if p.build else p.missing + ' - its columns and rows are skipped'}")
    print("  values: medians (±: interquartile range / median); ratio: median of the per-round ratios")
    print("  of corvenda to 'vs' (time or memory over time or memory; for msg/s, rate over rate), with")
    print("  a distribution-free 95% interval of that median; result judges the median")
    print()
    print(render_table(rows, contenders))
    print()
    for row in rows:
        if row.note:
            print(f"  {row.figure}: {row.note}")
    missed = [row.figure for row in rows if row.result == "missed"]
    print(f"\ntargets: {sum(r.result == 'met' for r in rows)} met, {len(missed)} missed, "
          f"{sum(r.result == 'skipped' for r in rows)} skipped")

    if not args.no_json:
        os.makedirs(args.out, exist_ok=True)
        path = os.path.join(args.out, f"{started:%Y%m%d-%H%M%S}{'-quick' if args.quick else ''}.json")
        with open(path, "w") as f:
            json.dump({
                "started": started.isoformat(),
                "elapsed_s": elapsed,
                "commit": git_commit(),
                "python": sys.version,
                "machine": platform.machine(),
                "cpus": os.cpu_count(),
                "quick": args.quick,
                "config": cfg.__dict__,
                "peers": {p.name: p.version if p.build else None for p in peer_list},
                "peers_missing": {p.name: p.missing for p in peer_list if not p.build},
                "rows": [row.__dict__ for row in rows],
            }, f, indent=1)
        print(f"results: {os.path.relpath(path)}")
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
