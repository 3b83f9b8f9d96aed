"""Throughput of examples/celery: messages per second with 1, 2 and 4 worker processes.

    make build
    tools/in-sysroot env PYTHONPATH=src:examples/celery/tests python3.14 bench/celery_fleet.py [--messages 300] [--rounds 3]

A Redis server and a STARTTLS SMTP server with login (corvenda.testing, in
a child process of its own) run on 127.0.0.1.  For each process count N one
Celery worker runs with ``--concurrency N``; a round enqueues a batch of
templated messages (``mail.send_template``, one recipient each) and times
from the first enqueue until the server holds the whole batch.  The figure
is the median over rounds.  For reference, the same messages sent by one
process calling ``send_template`` in a loop, without Celery.

The results depend on the machine: on a host with fewer free cores than
processes, the processes, Redis and the SMTP server share them.

    tools/in-sysroot env PYTHONPATH=src:examples/celery/tests python3.14 bench/celery_fleet.py --faults [--messages 1000] [--events 4]

runs the faults of examples/celery/tests/test_celery_faults.py on larger batches instead:
for each fault, two workers (two processes each) send a batch while the
fault strikes ``--events`` times at random moments, and the server counts
by Message-ID how many messages arrived, arrived more than once, or never.
Messages held unacknowledged by a broken connection are given the
visibility timeout and a worker restart to come back before they count as
lost.
"""

from __future__ import annotations

import argparse
import collections
import os
import random
import statistics
import sys
import tempfile
import time

from harness import HOST, ServerProcess, command_line, load_average, script, serve

from corvenda import SECURITY_MODES
from corvenda._process import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

# The example's fleet helper, from examples/celery/tests on PYTHONPATH.
from mailfleet import Client, RedisServer, Worker, worker_environment  # noqa: E402

# Messages carry the Message-ID <task id@sender's domain>.

CREDENTIALS = ("bench@corvenda.test", "bench-password")
SUBJECT = "Your code {{ code }}"

class FleetServer(ServerProcess):
    """A STARTTLS SMTP server with login (corvenda.testing) in a child process."""

    def __init__(self, lifetime_s: float = 4 * 3600) -> None:
        super().__init__([sys.executable, script("celery_fleet.py"), "--serve", str(lifetime_s)])
        self.port: int = self.info["port"]
        self.ca_file: str = self.info["ca_file"]

    def count(self) -> int:
        """How many messages arrived."""
        return int(self.ask("count"))

    def ids(self) -> collections.Counter[str]:
        """How often each Message-ID arrived."""
        return collections.Counter(self.ask("ids"))

    def wait_for(self, total: int, timeout: float) -> None:
        if not wait_until(lambda: self.count() >= total, timeout, interval=0.01):
            raise TimeoutError(f"{total - self.count()} messages missing after {timeout} s")


def serve_smtp(lifetime_s: float) -> None:
    """Child process: the server of FleetServer until stdin closes or lifetime_s passes."""
    from corvenda.testing import SMTPServer

    with SMTPServer("starttls", credentials=CREDENTIALS) as server:
        serve({"port": server.port, "ca_file": server.ca_file},
              {"count": lambda: len(server.messages),
               "ids": lambda: collections.Counter(str(m["Message-ID"]) for m in list(server.messages))},
              lifetime_s)


def direct(server: FleetServer, messages: int) -> float:
    """Messages per second of one process sending in a loop."""
    os.environ["SSL_CERT_FILE"] = server.ca_file
    from corvenda.mailer import EasyMailer

    mailer = EasyMailer(HOST, server.port, *CREDENTIALS, **SECURITY_MODES["starttls"])
    before = server.count()
    started = time.perf_counter()
    for n in range(messages):
        mailer.send_template(f"user{n}@example.org", SUBJECT, "verification_code", {"code": f"d{n}"})
    elapsed = time.perf_counter() - started
    assert server.count() == before + messages
    return messages / elapsed


def fleet_round(client: Client, server: FleetServer, prefix: str, messages: int) -> float:
    before = server.count()
    started = time.perf_counter()
    tasks = [client.send("mail.send_template", f"user{n}@example.org", SUBJECT, "verification_code",
                         context={"code": f"{prefix}-{n}"}) for n in range(messages)]
    server.wait_for(before + messages, timeout=300)
    elapsed = time.perf_counter() - started
    outcomes = client.wait(tasks, timeout=60)
    assert {state for state, _ in outcomes.values()} == {"SUCCESS"}, outcomes
    return messages / elapsed


FAULT_TIMING = {"socket_timeout": 2, "redis_wait": 5, "backoff_base": 0.5, "backoff_max": 2,
                "max_retries": 30, "visibility_timeout": 60}
FAULTS = ("term-main", "term-group", "kill", "redis-restart")


def fault_round(fault: str, messages: int, events: int, server: FleetServer, workdir: str) -> str:
    """One batch under ``fault``; returns the line of counts."""
    folder = os.path.join(workdir, fault)
    os.makedirs(folder)
    with RedisServer(folder) as redis_server:
        client = Client(redis_server.url)
        env = worker_environment(redis_server.url, HOST, server.port, credentials=CREDENTIALS,
                                 ca_file=server.ca_file, **FAULT_TIMING)
        workers = [Worker(f"{fault}{n}", env, folder, concurrency=2) for n in (1, 2)]
        try:
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.wait_ready(client)
            before = server.count()
            tasks = [client.send("mail.send_template", f"user{n}@example.org", SUBJECT, "verification_code",
                                 context={"code": f"{fault}-{n}"}) for n in range(messages)]
            moments = sorted(random.sample(range(messages // 10, messages * 9 // 10), events))
            last_fault = time.monotonic()
            for moment in moments:
                server.wait_for(before + moment, timeout=300)
                victim = random.choice(workers)
                if fault == "term-main":
                    victim.terminate(group=False)
                elif fault == "term-group":
                    victim.terminate(group=True)
                elif fault == "kill":
                    victim.kill()
                else:
                    redis_server.restart(down=1.0)
                    client.reconnect()
                last_fault = time.monotonic()
                for worker in workers:
                    if not worker.alive():
                        worker.start()
            outcomes = client.wait(tasks, timeout=120, partial=True)
            late = [t for t in tasks if t not in outcomes]
            if late:  # unacknowledged in Redis: back after the visibility timeout, when a worker starts
                time.sleep(max(0.0, last_fault + FAULT_TIMING["visibility_timeout"] + 1 - time.monotonic()))
                workers[0].terminate(group=False)
                workers[0].start()
                outcomes.update(client.wait(late, timeout=120, partial=True))
            arrived = server.ids()
            wanted = [f"<{t}@corvenda.test>" for t in tasks]
            delivered = sum(1 for w in wanted if arrived[w])
            duplicated = sum(arrived[w] - 1 for w in wanted if arrived[w] > 1)
            states = collections.Counter(
                str(r["status"]) if state == "SUCCESS" else state for state, r in outcomes.values())
            unfinished = [t for t in tasks if t not in outcomes]
            states["unfinished"] = len(unfinished)
            states["unfinished, still in Redis"] = len(set(unfinished) & client.held())
            return (f"{fault:14} {messages:6} {events:6} {delivered:9} {duplicated:10} {messages - delivered:5}   "
                    f"{len(late):4}   {dict(+states)}")
        finally:
            for worker in workers:
                worker.stop()
            client.close()


def faults(options: argparse.Namespace) -> int:
    chosen = FAULTS if options.fault == "all" else (options.fault,)
    server = FleetServer()
    try:
        print(f"cores: {os.cpu_count()}, load average: {load_average()}")
        print(f"{'fault':14} {'batch':>6} {'events':>6} {'delivered':>9} {'duplicated':>10} {'lost':>5}   "
              f"{'late':>4}   outcomes")
        with tempfile.TemporaryDirectory(prefix="celery-faults-") as workdir:
            for fault in chosen:
                for r in range(options.rounds):
                    print(fault_round(fault, options.messages, options.events, server,
                                      os.path.join(workdir, str(r))), flush=True)
    finally:
        server.close()
    return 0


def main() -> int:
    parser = command_line(__doc__)
    parser.add_argument("--messages", type=int, default=300, help="messages per round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--processes", default="1,2,4", help="worker process counts to measure")
    parser.add_argument("--faults", action="store_true", help="count losses and copies under faults instead")
    parser.add_argument("--fault", choices=("all", *FAULTS), default="all")
    parser.add_argument("--events", type=int, default=4, help="fault events per batch (--faults)")
    parser.add_argument("--serve", type=float, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.serve is not None:
        serve_smtp(options.serve)
        return 0
    if options.faults:
        return faults(options)
    counts = [int(n) for n in options.processes.split(",")]

    print(f"cores: {os.cpu_count()}, load average: {load_average()}")
    rows: list[tuple[str, list[float]]] = []
    server = FleetServer()
    try:
        rows.append(("1 process, no Celery (send_template in a loop)",
                     [direct(server, options.messages) for _ in range(options.rounds)]))
        with tempfile.TemporaryDirectory(prefix="celery-bench-") as workdir, \
                RedisServer(workdir) as redis_server, Client(redis_server.url) as client:
            env = worker_environment(redis_server.url, HOST, server.port,
                                     credentials=CREDENTIALS, ca_file=server.ca_file)
            for count in counts:
                with Worker(f"bench{count}", env, workdir, concurrency=count) as worker:
                    worker.wait_ready(client)
                    fleet_round(client, server, f"warm{count}", 4 * count)
                    rates = [fleet_round(client, server, f"p{count}r{r}", options.messages)
                             for r in range(options.rounds)]
                rows.append((f"{count} worker process{'es' if count > 1 else ''} (Celery, Redis)", rates))
    finally:
        server.close()

    print(f"\n{'':48} {'msg/s (median)':>15}  rounds")
    for label, rates in rows:
        print(f"{label:48} {statistics.median(rates):15.0f}  {' '.join(f'{r:.0f}' for r in rates)}")
    print(f"\n{options.messages} messages per round, load average after: "
          f"{load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
