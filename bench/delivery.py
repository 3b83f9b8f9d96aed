"""Delivery: send() of W1, one connection per message, against corvenda.testing's
server (aiosmtpd with AUTH) in a child process, per security mode; target
>= 0.97x the floor's messages per second.  After each mode the server must
have seen exactly the sessions, logins and messages sent.
"""

import os
import sys

from harness import ServerProcess, interleave, make_row, script, serve

from contenders import MODULES, PASSWORD, USER, loop_send, make_mailer
from corvenda import SECURITY_MODES

MODES = ("plain", "starttls", "ssl")  # the order of the table's rows


def server_process(lifetime_s):
    """A server for every mode in a child process: info {"ports": {mode: port}, "ca_file"};
    ask("stats") -> {mode: {"sessions", "logins", "messages"}} since the last ask."""
    return ServerProcess([sys.executable, script("bench.py"), "--serve-smtp", str(lifetime_s)])


def serve_smtp(lifetime_s):
    """Child process: the servers of server_process until stdin closes or lifetime_s passes."""
    from corvenda.testing import SMTPServer

    servers = {mode: SMTPServer(mode, credentials=(USER, PASSWORD)).start() for mode in MODES}

    def stats():
        out = {}
        for mode, s in servers.items():
            s.wait_idle(5)
            sessions = list(s.sessions)
            out[mode] = {"sessions": len(sessions),
                         "logins": sum(len(x.logins) for x in sessions),
                         "messages": len(s.messages)}
            s.clear()
        return out

    try:
        serve({"ports": {m: s.port for m, s in servers.items()}, "ca_file": servers["plain"].ca_file},
              {"stats": stats}, lifetime_s)
    finally:
        for s in servers.values():
            s.stop()


def bench_delivery(cfg, workloads):
    w = workloads["W1"]
    rows = []
    server = server_process(lifetime_s=max(120, 6 * cfg.budget_s * len(MODES)))
    old_cert_file = os.environ.get("SSL_CERT_FILE")
    os.environ["SSL_CERT_FILE"] = server.info["ca_file"]  # what ssl.create_default_context() trusts
    try:
        server.ask("stats")
        for mode in MODES:
            mailers = {name: make_mailer(module, server.info["ports"][mode], **SECURITY_MODES[mode])
                       for name, module in MODULES.items()}
            runs = {name: (lambda n, m=m: loop_send(m.send, w, n)) for name, m in mailers.items()}
            for run in runs.values():  # warm-up, and a first check that delivery works
                run(2)
            samples = interleave(runs, cfg.sends, cfg.delivery_rounds, cfg.budget_s)
            sent = (len(samples["corvenda"]) + len(samples["floor"])) * cfg.sends + 4
            seen = server.ask("stats")[mode]
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
