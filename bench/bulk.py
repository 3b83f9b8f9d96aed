"""Many messages over one login: corvenda.bulk against a loop of sends and Django.

    make build
    tools/in-sysroot env PYTHONPATH=src:tools python3.14 bench/bulk.py [--messages 500] [--quick]

For the W1 and W2 messages of bench.py (contenders.py), N messages are sent by each
contender and the wall time of the whole batch (connections, logins and
QUIT included) gives messages per second:

  send loop    EasyMailer.send in a loop: a connection and a login each
  Connection   corvenda.bulk.Connection: one login, MAIL+RCPT+DATA in one
               write where the server offers PIPELINING
  Pool(8)      corvenda.bulk.Pool(size=8).send_all: eight connections in threads
  Django       django.core.mail's SMTP backend, send_messages() over one
               connection (the messages built in the same loop)

Targets:
  local   corvenda.testing's server with STARTTLS and login, PIPELINING
          offered, in a child process;
  relay   the same server in plain mode behind an asyncio relay on loopback
          that delays every chunk by 15 ms in each direction (a 30 ms round
          trip), once with and once without PIPELINING offered.

Each round runs every contender once, in alternating order; a ratio to
Django is the median of the per-round ratios, so both sides come from the
same stretch of a shared machine's load.  The client's CPU time per message
(all threads) is shown too: it does not depend on that load.

The relay counts, per connection, how often the client starts talking
again after the server spoke: a round trip.  Round trips per message are
that count over the messages sent (connection set-up included, spread over
the batch).  The send loop's figures come from fewer messages
(--loop-messages): on the relay it needs about a quarter second per message.

Results are printed and written to bench/results/bulk-<time>.json.
"""

import argparse
import asyncio
import os
import platform
import statistics
import sys
import threading
import time
from datetime import datetime, timezone

from harness import HOST, ServerProcess, command_line, script, serve, write_results

from contenders import PASSWORD, USER, make_workloads
from corvenda import SECURITY_MODES

DELAY_S = 0.015  # each direction


# -- child process: servers and relays -----------------------------------------------


class Relay:
    """Forwards TCP connections to `upstream`, each chunk `delay` seconds late, and counts turns."""

    def __init__(self, upstream_port, delay):
        self.upstream_port = upstream_port
        self.delay = delay
        self.turns = 0        # client chunks that follow server data (or open the connection)
        self.chunks = 0       # client chunks
        self.connections = 0
        self.port = None

    async def start(self):
        server = await asyncio.start_server(self._handle, HOST, 0)
        self.port = server.sockets[0].getsockname()[1]
        return server

    def take(self):
        out = {"turns": self.turns, "chunks": self.chunks, "connections": self.connections}
        self.turns = self.chunks = self.connections = 0
        return out

    async def _handle(self, client_reader, client_writer):
        self.connections += 1
        server_reader, server_writer = await asyncio.open_connection(HOST, self.upstream_port)
        last = [None]
        await asyncio.gather(self._pump(client_reader, server_writer, "client", last),
                             self._pump(server_reader, client_writer, "server", last))

    async def _pump(self, reader, writer, side, last):
        loop = asyncio.get_running_loop()
        pending = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await pending.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    writer.close()
                    return
                writer.write(data)

        task = asyncio.create_task(deliver())
        try:
            while data := await reader.read(1 << 16):
                if side == "client":
                    self.chunks += 1
                    if last[0] != "client":
                        self.turns += 1
                last[0] = side
                pending.put_nowait((loop.time() + self.delay, data))
        except ConnectionError:
            pass
        pending.put_nowait((loop.time() + self.delay, None))
        await task


def serve_relays(lifetime_s):
    """Child process: the servers and relays, until stdin closes or lifetime_s passes."""
    from corvenda.testing import SMTPServer

    servers = {
        "local": SMTPServer("starttls", credentials=(USER, PASSWORD), pipelining=True).start(),
        "relay": SMTPServer("plain", credentials=(USER, PASSWORD), pipelining=True).start(),
        "relay-nopipe": SMTPServer("plain", credentials=(USER, PASSWORD), pipelining=False).start(),
    }
    loop = asyncio.new_event_loop()
    relays = {name: Relay(servers[name].port, DELAY_S) for name in ("relay", "relay-nopipe")}
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    for relay in relays.values():
        asyncio.run_coroutine_threadsafe(relay.start(), loop).result(10)

    def stats():
        out = {}
        for name, server in servers.items():
            server.wait_idle(10)
            out[name] = {"messages": len(server.messages), "sessions": len(server.sessions)}
            server.clear()
            if name in relays:
                out[name].update(asyncio.run_coroutine_threadsafe(_take(relays[name]), loop).result(10))
        return out

    try:
        serve({"ports": {"local": servers["local"].port, **{name: r.port for name, r in relays.items()}},
               "ca_file": servers["local"].ca_file}, {"stats": stats}, lifetime_s)
    finally:
        for server in servers.values():
            server.stop()


async def _take(relay):
    return relay.take()


def start_child(lifetime_s):
    """The servers and relays in a child process: info {"ports", "ca_file"}; ask("stats")."""
    return ServerProcess([sys.executable, script("bulk.py"), "--serve", str(lifetime_s)])


# -- contenders ---------------------------------------------------------------------------


def send_arguments(w, i):
    """send()'s keyword arguments for message i of workload w (the subject numbered)."""
    return {"to": w.to, "subject": f"{w.subject} {i}", "body": w.body, "html": w.html, "cc": w.cc,
            "bcc": w.bcc, "sender": w.sender, "sender_name": w.sender_name,
            "attachments": w.attachments, "reply_to": w.reply_to}


def run_send_loop(mailer, w, n):
    for i in range(n):
        mailer.send(**send_arguments(w, i))


def run_connection(mailer, w, n):
    from corvenda.bulk import Connection

    with Connection(mailer, max_per_connection=n) as connection:
        for i in range(n):
            connection.send(**send_arguments(w, i))


def run_pool(mailer, w, n, size=8):
    from corvenda.bulk import Pool

    with Pool(mailer, size=size, max_per_connection=n) as pool:
        for _ in pool.send_all(send_arguments(w, i) for i in range(n)):
            pass


def django_setup():
    import django
    from django.conf import settings

    if not settings.configured:
        settings.configure(DEFAULT_CHARSET="utf-8", EMAIL_USE_LOCALTIME=False, USE_TZ=True,
                           DEFAULT_FROM_EMAIL=USER)
        django.setup()
    return django.get_version()


def run_django(port, use_tls, w, n):
    from email.utils import formataddr

    from django.core.mail import EmailMultiAlternatives, get_connection

    def as_list(value):
        return [] if value is None else [value] if isinstance(value, str) else list(value)

    sender = w.sender or USER
    from_header = formataddr((w.sender_name, sender)) if w.sender_name else sender
    attachments = [(a["filename"], a["data"], a.get("content_type")) for a in w.attachments or ()]
    alternatives = [(w.html, "text/html")] if w.html else None
    connection = get_connection("django.core.mail.backends.smtp.EmailBackend", host=HOST, port=port,
                                username=USER, password=PASSWORD, use_tls=use_tls, fail_silently=False)
    messages = (EmailMultiAlternatives(f"{w.subject} {i}", w.body or "", from_header, as_list(w.to),
                                       cc=as_list(w.cc), bcc=as_list(w.bcc), reply_to=as_list(w.reply_to),
                                       attachments=attachments, alternatives=alternatives, connection=connection)
                for i in range(n))
    # send_messages takes a list: the building is timed all the same.
    sent = connection.send_messages(list(messages))
    if sent != n:
        raise SystemExit(f"bench: Django sent {sent} of {n}")


# -- main ---------------------------------------------------------------------------------


def measure(child, target, name, run, n):
    cpu = time.process_time()
    start = time.perf_counter()
    run(n)
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu
    stats = child.ask("stats")[target]
    if stats["messages"] != n:
        raise SystemExit(f"bench: {name} on {target}: sent {n} messages, the server saw {stats['messages']}")
    row = {"msg_s": n / elapsed, "messages": n, "seconds": elapsed, "sessions": stats["sessions"],
           "cpu_ms_per_message": 1e3 * cpu / n}
    if "turns" in stats:
        row["round_trips_per_message"] = stats["turns"] / n
    return row


def main(argv=None):
    ap = command_line(__doc__, results=True)
    ap.add_argument("--messages", type=int, default=500)
    ap.add_argument("--loop-messages", type=int, default=None, help="messages for the send loop (default N/5)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds on the local server (the relay runs once)")
    ap.add_argument("--quick", action="store_true", help="N=100, one round")
    ap.add_argument("--only", default="local,relay,relay-nopipe")
    ap.add_argument("--workloads", default="W1,W2")
    ap.add_argument("--serve", type=float, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.serve is not None:
        return serve_relays(args.serve)
    if args.quick:
        args.messages, args.rounds = 100, 1
    n = args.messages
    loop_n = args.loop_messages or max(10, n // 5)

    from corvenda.mailer import EasyMailer

    django_version = django_setup()
    workloads = make_workloads()
    child = start_child(3600)
    os.environ["SSL_CERT_FILE"] = child.info["ca_file"]
    results = []
    try:
        for target in args.only.split(","):
            port = child.info["ports"][target]
            tls = target == "local"
            mailer = EasyMailer(HOST, port, USER, PASSWORD, default_sender=USER,
                                **SECURITY_MODES["starttls" if tls else "plain"])
            contenders = {
                "send loop": (lambda w: lambda k: run_send_loop(mailer, w, k), loop_n),
                "Connection": (lambda w: lambda k: run_connection(mailer, w, k), n),
                "Pool(8)": (lambda w: lambda k: run_pool(mailer, w, k), n),
                "Django": (lambda w: lambda k: run_django(port, tls, w, k), n),
            }
            rounds = args.rounds if target == "local" else 1
            for key in args.workloads.split(","):
                w = workloads[key]
                samples = {name: [] for name in contenders}
                for name, (make, _) in contenders.items():  # warm-up: imports, first connections
                    measure(child, target, name, make(w), 3)
                for r in range(rounds):
                    order = list(contenders) if r % 2 == 0 else list(reversed(contenders))
                    for name in order:
                        make, count = contenders[name]
                        samples[name].append(measure(child, target, name, make(w), count))
                for name, rows in samples.items():
                    msg_s = statistics.median(row["msg_s"] for row in rows)
                    cpu_ms = statistics.median(row["cpu_ms_per_message"] for row in rows)
                    # Rounds alternate the contenders, so the ratio of one round
                    # compares two runs under the same load.
                    versus = statistics.median(a["msg_s"] / b["msg_s"] for a, b in zip(rows, samples["Django"]))
                    entry = {"target": target, "workload": key, "contender": name, "msg_s": msg_s,
                             "versus_django": versus, "cpu_ms_per_message": cpu_ms,
                             "messages": rows[0]["messages"], "rounds": len(rows),
                             "sessions": rows[0]["sessions"], "samples": [row["msg_s"] for row in rows]}
                    if "round_trips_per_message" in rows[0]:
                        entry["round_trips_per_message"] = rows[0]["round_trips_per_message"]
                    results.append(entry)
                    rtt = entry.get("round_trips_per_message")
                    print(f"{target:13} {key}  {name:11} {msg_s:9.1f} msg/s  {versus:6.2f}x Django"
                          f"  client CPU {cpu_ms:6.2f} ms/msg"
                          + (f"  {rtt:5.2f} round trips/msg" if rtt is not None else "")
                          + f"  ({entry['messages']} messages, {len(rows)} round(s))", flush=True)
    finally:
        child.close()

    if not args.no_json:
        stamp = datetime.now(timezone.utc).strftime("%Y%m%dT%H%M%SZ")
        print()
        write_results(args.out, f"bulk-{stamp}.json",
                      {"when": stamp, "python": platform.python_version(), "django": django_version,
                       "messages": n, "loop_messages": loop_n, "delay_s_each_way": DELAY_S,
                       "results": results})
    return 0


if __name__ == "__main__":
    sys.exit(main())
