"""examples/celery under an operator's and an attacker's faults, counted at the server.

Each scenario runs a batch through real prefork workers of examples/celery,
a real Redis (append-only file, noeviction, a password) and the local SMTP
server, injects one fault, and counts by Message-ID (the task id, which the
recipe stamps on every message) how many messages arrived, how many arrived
more than once and how many never did.  The counts are printed; the
assertions are what a queue one can trust does.  Longer runs of the same
faults: bench/celery_fleet.py --faults.
"""

import collections
import os
import subprocess
import sys
import threading
import time

import pytest

import corvenda.testing as testing
from corvenda._process import wait_until
from mailfleet import CREDENTIALS, EXAMPLE, Client, OOMKiller, RedisServer, SilentServer, Worker, worker_environment

pytestmark = pytest.mark.usefixtures("fleet_tools")

# These faults exercise the recipe, Celery and Redis, not the extension's
# memory handling: the debug interpreter and the sanitizer run of the suite
# (tools/check-debug, tools/check-asan) leave them to the plain run.
if hasattr(sys, "gettotalrefcount") or "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("fault scenarios run in the plain test run only", allow_module_level=True)

# Short waits for a test.  Time limits follow from the socket timeout and
# MAIL_REDIS_WAIT: soft 26 s, hard 28 s; the visibility timeout must exceed them.
TIMING = {"socket_timeout": 1, "redis_wait": 3, "backoff_base": 0.2, "backoff_max": 1,
          "max_retries": 30, "visibility_timeout": 30, "max_deliveries": 3}
SUBJECT = "Your code {{ code }}"
# Subjects that would cost minutes of CPU or gigabytes: the template engine
# refuses both within its own limits.
CPU_POISON = '{% for i in range(99999) %}{{ ("x" * 999999).count("y") }}{% endfor %}'
MEMORY_POISON = '{{ (range(99999)|map("center", 999999)|list)|length }}'
# Attachments a worker may read, but whose message (about 480 MB once
# encoded) is more than the test's memory limit allows a pool process.
BIG_ATTACHMENTS = [f"big{n}.bin" for n in range(8)]


def message_id(task_id):
    return f"<{task_id}@corvenda.test>"


def tally(smtp, task_ids):
    """(delivered, duplicated, lost) of ``task_ids`` by the Message-IDs the server holds."""
    arrived = collections.Counter(str(m["Message-ID"]) for m in list(smtp.messages))
    wanted = [message_id(t) for t in task_ids]
    delivered = sum(1 for w in wanted if arrived[w])
    duplicated = sum(arrived[w] - 1 for w in wanted if arrived[w] > 1)
    return delivered, duplicated, len(wanted) - delivered


def report(capsys, scenario, counts, extra=""):
    with capsys.disabled():
        print(f"\n[celery fault] {scenario}: delivered {counts[0]} / duplicated {counts[1]} / lost {counts[2]}"
              + (f"; {extra}" if extra else ""))


def enqueue(client, prefix, count, **kwargs):
    return [client.send("mail.send_template", f"{prefix}{n}@example.org", SUBJECT, "verification_code",
                        context={"code": f"{prefix}-{n}"}, **kwargs) for n in range(count)]


def settle(smtp, client, tasks, timeout=120):
    """Wait until every task ended; returns their outcomes."""
    outcomes = client.wait(tasks, timeout=timeout)
    smtp.wait_idle()
    return outcomes


@pytest.fixture(scope="module")
def attachment_dir(workdir):
    folder = workdir / "attachments"
    folder.mkdir()
    (folder / "invoice.pdf").write_bytes(b"%PDF-1.4 invoice")
    os.symlink("/proc/self/environ", folder / "environ.txt")
    os.symlink(folder / "invoice.pdf", folder / "alias.pdf")
    return folder


@pytest.fixture(scope="module")
def fleet_settings(attachment_dir):
    return {**TIMING, "attachment_dir": attachment_dir}


def test_baseline_and_smtp_server_down(workers, smtp, client, capsys):
    tasks = enqueue(client, "base", 100)
    outcomes = settle(smtp, client, tasks)
    assert all(state == "SUCCESS" and result["status"] == "sent" for state, result in outcomes.values())
    counts = tally(smtp, tasks)
    report(capsys, "baseline, 100 messages", counts)
    assert counts == (100, 0, 0)

    smtp.clear()
    tasks = enqueue(client, "down", 150)
    assert wait_until(lambda: len(smtp.messages) >= 30, 60)
    smtp.stop()
    time.sleep(5)
    smtp.start()
    outcomes = settle(smtp, client, tasks)
    assert {state for state, _ in outcomes.values()} == {"SUCCESS"}
    counts = tally(smtp, tasks)
    report(capsys, "SMTP server down 5 s, 150 messages", counts)
    assert counts == (150, 0, 0)


@pytest.mark.parametrize("group", [False, True], ids=["main process (KillMode=mixed)",
                                                      "process group (KillMode=control-group)"])
def test_sigterm_loses_nothing_and_sends_nothing_twice(workers, smtp, client, group, capsys):
    tasks = enqueue(client, "term", 200)
    for round_, at in enumerate((40, 110)):
        assert wait_until(lambda: len(smtp.messages) >= at, 60)
        victim = workers[round_ % 2]
        victim.terminate(group=group)
        victim.start()
    outcomes = settle(smtp, client, tasks)
    counts = tally(smtp, tasks)
    statuses = collections.Counter(
        result["status"] if state == "SUCCESS" else state for state, result in outcomes.values())
    report(capsys, f"SIGTERM to the {'process group' if group else 'main process'} 2x, 200 messages",
           counts, f"outcomes {dict(statuses)}")
    assert counts == (200, 0, 0)
    # Each outcome is true: "already sent" only for a message whose process
    # was ended right after handing it over, never a failure.
    assert set(statuses) <= {"sent", "already sent"}


class HeldReply(testing.SMTPServer):
    """Stores each message, then holds the reply to its DATA for ``hold`` seconds.

    That is the moment a stop can go wrong: the server has the message and
    the client does not know yet.
    """

    hold = 1.0

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.holding = threading.Event()

    def _arrived(self, message):
        super()._arrived(message)
        self.holding.set()
        time.sleep(self.hold)  # in the server's loop: every connection waits


def test_sigterm_to_the_group_while_the_server_holds_its_reply(workdir, redis_server, client, capsys):
    # The reply must come within the socket timeout, or the send fails on its
    # own (a retry, a second copy) whatever the signal does: 3 s against the
    # 1 s hold.  The time limits grow with it, and the visibility timeout.
    timing = {**TIMING, "socket_timeout": 3, "visibility_timeout": 80}
    with HeldReply("starttls", credentials=CREDENTIALS) as held:
        env = worker_environment(redis_server.url, held.host, held.port, credentials=CREDENTIALS,
                                 ca_file=held.ca_file, **timing)
        worker = Worker("held", env, str(workdir), concurrency=1, queue="held")
        try:
            worker.start()
            worker.wait_ready(client)
            tasks = [client.send("mail.send", f"held{n}@example.org", "Held", "x", queue="held")
                     for n in range(3)]
            assert held.holding.wait(30)
            worker.terminate(group=True)  # the process is waiting for the reply to DATA
            held.hold = 0
            worker.start()
            outcomes = client.wait(tasks, timeout=60)
        finally:
            worker.stop()
        counts = tally(held, tasks)
    statuses = [result["status"] if state == "SUCCESS" else f"{state}: {result}"
                for state, result in (outcomes[t] for t in tasks)]
    report(capsys, "SIGTERM to the group while the server holds its reply to DATA", counts,
           f"outcomes {statuses}")
    assert counts == (3, 0, 0)
    # The interrupted send finished and was marked before the process ended;
    # its redelivery found the mark.
    assert statuses == ["already sent", "sent", "sent"]


def test_redis_restart_with_append_only_file_loses_nothing_it_has_recorded(workers, smtp, client, redis_server,
                                                                             capsys):
    tasks = enqueue(client, "aof", 200)
    for at in (50, 120):
        assert wait_until(lambda: len(smtp.messages) >= at, 60)
        redis_server.restart(down=1.0)
        restarted = time.monotonic()
    client.reconnect()
    outcomes = client.wait(tasks, timeout=30, partial=True)
    # A message a worker had taken but not started when its connection broke
    # stays unacknowledged in Redis; it returns once the visibility timeout
    # has passed, when a worker starts (or within 100 s, periodically).
    unfinished = [task for task in tasks if task not in outcomes]
    late = set(unfinished) & client.held()
    if late:
        time.sleep(max(0.0, restarted + TIMING["visibility_timeout"] + 1 - time.monotonic()))
        workers[0].terminate(group=False)
        workers[0].start()
        outcomes.update(client.wait(list(late), timeout=60))
    smtp.wait_idle()
    counts = tally(smtp, tasks)
    statuses = collections.Counter(
        result["status"] if state == "SUCCESS" else state for state, result in outcomes.values())
    report(capsys, "Redis (appendonly yes) restarted 2x, 200 messages", counts,
           f"outcomes {dict(statuses)}, {len(late)} back only after the visibility timeout")
    failures = {t: str(r) for t, (state, r) in outcomes.items() if state != "SUCCESS"}
    assert failures == {}, "\n".join(line for w in workers for line in w.log(10**6).splitlines() if "ERROR" in line)
    # "already sent" is only ever said of a message that did arrive.
    for task, (state, result) in outcomes.items():
        assert tally(smtp, [task])[0] == 1, (task, state, result)
    # What is lost is what Redis handed to a worker's fetch (BRPOP) as it
    # shut down, before the worker could record it as unacknowledged: at most
    # one message per worker and restart, never one Redis had recorded.
    lost = [task for task in unfinished if task not in late]
    assert counts[2] == len(lost) <= len(workers) * 2


def test_redis_restart_without_persistence_loses_what_it_held(workdir, smtp, capsys):
    """No persistence: the queue lives in memory only.  The fleet recovers; what Redis held is gone."""
    folder = workdir / "volatile"
    folder.mkdir()
    with RedisServer(str(folder), persistent=False) as volatile, Client(volatile.url) as client:
        env = worker_environment(volatile.url, smtp.host, smtp.port, credentials=CREDENTIALS,
                                 ca_file=smtp.ca_file, **TIMING)
        with Worker("v1", env, str(folder), concurrency=2) as worker:
            worker.wait_ready(client)
            smtp.clear()
            tasks = enqueue(client, "volatile", 100)
            assert wait_until(lambda: len(smtp.messages) >= 20, 60)
            volatile.restart()
            time.sleep(TIMING["redis_wait"] + 2)
            counts = tally(smtp, tasks)
            report(capsys, "Redis without persistence restarted, 100 messages", counts)
            assert counts[0] < 100 and counts[1] == 0  # what was queued is gone, nothing repeated
            # The worker reconnected and takes new work.
            after = enqueue(client, "after", 10)
            client.wait(after, timeout=60)
            assert tally(smtp, after) == (10, 0, 0)


def test_poison_arguments_fail_alone(workers, smtp, client, attachment_dir):
    good = enqueue(client, "good", 60)
    poison = {
        client.send("mail.send", 42, "Hi", "Hello"): "TypeError",
        client.send("mail.send", "a@example.org", None, "Hello"): "TypeError",
        client.send("mail.send", "a@example.org", "Hi", ["not", "text"]): "TypeError",
        client.send("mail.send", "a@example.org", "Hi", "Hello", colour="red"): "TypeError",
        client.send("mail.send_template", "a@example.org", "Hi", "no_such_template"): "TemplateNotFound",
        client.send("mail.send_template", "a@example.org", "Hi {{ nope }}", "verification_code",
                    context={"code": "1"}): "UndefinedError",
        client.send("mail.send_template", "a@example.org", "Hi", "verification_code", context=[1]): "",
        client.send("mail.send", "a@example.org", "Hi", "x", attachments="invoice.pdf"): "attachments must be a list",
        client.send("mail.send", "a@example.org", "Hi", "x", attachments=[{"filename": "a", "data": "b"}]):
            "a file name inside MAIL_ATTACHMENT_DIR",
    }
    outcomes = settle(smtp, client, good + list(poison))
    assert tally(smtp, good) == (60, 0, 0)
    assert len(smtp.messages) == 60
    for task, expected in poison.items():
        state, error = outcomes[task]
        assert state == "FAILURE" and type(error).__name__ == "Undeliverable", (task, error)
        assert expected in str(error)


def test_attachments_come_only_from_the_attachment_folder(workers, smtp, client, attachment_dir):
    refused = {
        "/proc/self/environ": "is not inside MAIL_ATTACHMENT_DIR",
        "../../../../../../proc/self/environ": "is not inside MAIL_ATTACHMENT_DIR",
        "environ.txt": "is not inside MAIL_ATTACHMENT_DIR",  # a link out of the folder
        "/etc/passwd": "is not inside MAIL_ATTACHMENT_DIR",
        "missing.pdf": "No such file or directory",
    }
    tasks = {path: client.send("mail.send", "a@example.org", "Files", "x", attachments=[path])
             for path in [*refused, "invoice.pdf", "alias.pdf", str(attachment_dir / "invoice.pdf")]}
    outcomes = settle(smtp, client, list(tasks.values()))
    for path, reason in refused.items():
        state, error = outcomes[tasks[path]]
        assert (state, type(error).__name__) == ("FAILURE", "Undeliverable") and reason in str(error), path
    assert len(smtp.messages) == 3
    for received in smtp.messages:
        [part] = received.message.iter_attachments()
        assert part.get_content() == b"%PDF-1.4 invoice"
        assert b"MAIL_SMTP_PASSWORD" not in received.raw and CREDENTIALS[1].encode() not in received.raw


def test_poison_subjects_fail_at_the_engine_limits_and_the_rest_flows(workers, smtp, client, capsys):
    started = time.monotonic()
    poison = [client.send("mail.send_template", f"p{n}@example.org", subject, "verification_code",
                          context={"code": "1"}) for n, subject in enumerate([CPU_POISON, MEMORY_POISON] * 2)]
    good = enqueue(client, "flow", 40)
    outcomes = settle(smtp, client, poison + good, timeout=90)
    elapsed = time.monotonic() - started
    counts = tally(smtp, good)
    report(capsys, "2 CPU- and 2 memory-poison subjects + 40 good", counts, f"all done in {elapsed:.0f} s")
    assert counts == (40, 0, 0)
    for task in poison:
        state, error = outcomes[task]
        assert state == "FAILURE" and "SecurityError: the template went over the limit" in str(error), error


class Tarpit(SilentServer):
    """Answers every connection with an endless greeting, one line at a time.

    Each line comes well within the socket timeout, so only the task time
    limit can end a send to it.  Bounded: a connection gets at most 200 lines.
    """

    def _serve(self, connection):
        threading.Thread(target=self._drip, args=(connection,), daemon=True).start()

    def _drip(self, connection):
        for _ in range(200):
            if self._stopping.wait(0.3):
                return
            try:
                connection.sendall(b"220-please wait\r\n")
            except OSError:
                return


def test_a_send_that_never_ends_hits_the_task_time_limit(workdir, redis_server, client, capsys):
    with Tarpit() as tarpit:
        env = worker_environment(redis_server.url, tarpit.host, tarpit.port, security="plain",
                                 credentials=CREDENTIALS, **TIMING)
        worker = Worker("tarpit", env, str(workdir), concurrency=1, queue="tarpit")
        try:
            worker.start()
            worker.wait_ready(client)
            task = client.send("mail.send", "slow@example.org", "Slow", "x", queue="tarpit")
            outcomes = client.wait([task], timeout=90)
        finally:
            worker.stop()
    state, error = outcomes[task]
    with capsys.disabled():
        print(f"\n[celery fault] a server that never finishes its greeting: {state}: {error}")
    assert state == "FAILURE" and "ran over the task time limit (26 s)" in str(error), error


def test_memory_poison_is_dead_lettered_after_bounded_redeliveries(workers, smtp, client, env, attachment_dir,
                                                                    capsys):
    def deadletter(*args):
        run = subprocess.run([sys.executable, "-m", "mailqueue.deadletter", *args], cwd=EXAMPLE, env=env,
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stdout + run.stderr
        return run.stdout

    for name in BIG_ATTACHMENTS:
        with open(attachment_dir / name, "wb") as file:
            file.truncate(45 * 1024 * 1024)
    with OOMKiller(workers, limit_mb=400) as killer:
        poison = client.send("mail.send", "oom@example.org", "Files", "x", attachments=BIG_ATTACHMENTS)
        good = enqueue(client, "mem", 20)
        outcomes = settle(smtp, client, [poison, *good], timeout=120)
        kills = killer.kills
        counts = tally(smtp, good)
        report(capsys, "1 message of 360 MB attachments + 20 good, OOM killer at 400 MB", counts,
               f"pool processes killed {kills}x, then dead-lettered")
        assert counts == (20, 0, 0)
        state, error = outcomes[poison]
        assert state == "FAILURE" and "dead-lettered: started 3 times without finishing" in str(error)
        assert kills == TIMING["max_deliveries"]

        listed = deadletter("list")
        assert f"{poison}  mail.send  to oom@example.org  started 3 times without finishing" in listed
        assert "1 dead-lettered message(s)" in listed
        # Requeued, it gets a fresh count: three more runs, then set aside again.
        assert deadletter("requeue", poison) == f"requeued {poison}\n"
        assert wait_until(lambda: poison in deadletter("list"), 90)
        assert killer.kills == 2 * TIMING["max_deliveries"]
        assert deadletter("drop", "--all") == f"dropped {poison}\n"
        assert deadletter("list") == "0 dead-lettered message(s)\n"
