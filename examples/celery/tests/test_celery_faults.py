"""examples/celery under an operator's and an attacker's faults, counted at the server.

Each scenario runs a batch through real workers, Redis and the local SMTP server, injects one
fault, and counts by Message-ID how many messages arrived, arrived twice, never arrived.  The
counts are printed; the assertions are what a queue one can trust does.  Longer runs: bench/celery_fleet.py --faults.
"""

import collections
import os
import subprocess
import sys
import time

import pytest

import corvenda.testing as testing
from corvenda._process import wait_until
from mailfleet import CREDENTIALS, EXAMPLE, Client, OOMKiller, RedisServer, SilentServer, enqueue, fleet_of, tally

pytestmark = pytest.mark.usefixtures("fleet_tools")

if hasattr(sys, "gettotalrefcount") or "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("fault scenarios (of the recipe, Celery and Redis, not of the extension's memory handling) "
                "run in the plain test run only", allow_module_level=True)

# Time limits soft 26 s, hard 28 s (from socket timeout and MAIL_REDIS_WAIT), below the visibility timeout.
TIMING = {"socket_timeout": 1, "redis_wait": 3, "backoff_base": 0.2, "backoff_max": 1,
          "max_retries": 30, "visibility_timeout": 30, "max_deliveries": 3}
# Subjects that would cost minutes of CPU or gigabytes: the template engine refuses both.
CPU_POISON = '{% for i in range(99999) %}{{ ("x" * 999999).count("y") }}{% endfor %}'
MEMORY_POISON = '{{ (range(99999)|map("center", 999999)|list)|length }}'
# A message of these (about 480 MB once encoded) is more than a pool process may have.
BIG_ATTACHMENTS = [f"big{n}.bin" for n in range(8)]


def report(capsys, scenario, server, tasks, extra=""):
    """Print and return (delivered, duplicated, lost) of ``tasks`` at ``server``."""
    counts = tally(server, tasks)
    with capsys.disabled():
        print(f"\n[celery fault] {scenario}: delivered {counts[0]} / duplicated {counts[1]} / lost {counts[2]}"
              + (f"; {extra}" if extra else ""))
    return counts


def statuses(outcomes):
    return collections.Counter(result["status"] if state == "SUCCESS" else state for state, result in outcomes)


def settle(smtp, client, tasks, timeout=120):
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
    assert statuses(settle(smtp, client, tasks).values()) == {"sent": 100}
    assert report(capsys, "baseline, 100 messages", smtp, tasks) == (100, 0, 0)

    smtp.clear()
    tasks = enqueue(client, "down", 150)
    assert wait_until(lambda: len(smtp.messages) >= 30, 60)
    smtp.stop()
    time.sleep(5)
    smtp.start()
    assert {state for state, _ in settle(smtp, client, tasks).values()} == {"SUCCESS"}
    assert report(capsys, "SMTP server down 5 s, 150 messages", smtp, tasks) == (150, 0, 0)


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
    ended = statuses(outcomes.values())
    assert report(capsys, f"SIGTERM to the {'process group' if group else 'main process'} 2x, 200 messages",
                  smtp, tasks, f"outcomes {dict(ended)}") == (200, 0, 0)
    # "already sent" only for a message whose process ended right after handing it over.
    assert set(ended) <= {"sent", "already sent"}


class HeldReply(testing.SMTPServer):
    """Stores each message, then holds the reply to its DATA for ``hold`` s: the moment a stop
    can go wrong, when the server has the message and the client does not know yet."""

    hold = 1.0

    def _arrived(self, message):
        super()._arrived(message)
        time.sleep(self.hold)  # in the server's loop: every connection waits


def test_sigterm_to_the_group_while_the_server_holds_its_reply(workdir, redis_server, client, capsys):
    # A reply later than the socket timeout would fail the send on its own: 3 s against the 1 s hold.
    timing = {**TIMING, "socket_timeout": 3, "visibility_timeout": 80}
    with HeldReply("starttls", credentials=CREDENTIALS) as held:
        with fleet_of(["held"], held, redis_server.url, client, str(workdir), queue="held", concurrency=1,
                      **timing) as [worker]:
            tasks = [client.send("mail.send", f"held{n}@example.org", "Held", "x", queue="held") for n in range(3)]
            assert wait_until(lambda: held.messages, 30)
            worker.terminate(group=True)  # the process is waiting for the reply to DATA
            held.hold = 0
            worker.start()
            outcomes = client.wait(tasks, timeout=60)
        ended = [result["status"] if state == "SUCCESS" else f"{state}: {result}"
                 for state, result in (outcomes[t] for t in tasks)]
        assert report(capsys, "SIGTERM to the group while the server holds its reply to DATA", held, tasks,
                      f"outcomes {ended}") == (3, 0, 0)
    # The interrupted send finished and was marked before the process ended; its redelivery found the mark.
    assert ended == ["already sent", "sent", "sent"]


def test_redis_restart_with_append_only_file_loses_nothing_it_has_recorded(workers, smtp, client, redis_server,
                                                                             capsys):
    tasks = enqueue(client, "aof", 200)
    for at in (50, 120):
        assert wait_until(lambda: len(smtp.messages) >= at, 60)
        redis_server.restart(down=1.0)
        restarted = time.monotonic()
    client.reconnect()
    outcomes = client.wait(tasks, timeout=30, partial=True)
    # A message taken, not started, when the connection broke returns after the visibility timeout.
    unfinished = [task for task in tasks if task not in outcomes]
    late = set(unfinished) & client.held()
    if late:
        time.sleep(max(0.0, restarted + TIMING["visibility_timeout"] + 1 - time.monotonic()))
        workers[0].terminate(group=False)
        workers[0].start()
        outcomes.update(client.wait(list(late), timeout=60))
    smtp.wait_idle()
    counts = report(capsys, "Redis (appendonly yes) restarted 2x, 200 messages", smtp, tasks,
                    f"outcomes {dict(statuses(outcomes.values()))}, {len(late)} back only after the visibility timeout")
    failures = {t: str(r) for t, (state, r) in outcomes.items() if state != "SUCCESS"}
    assert failures == {}, "\n".join(line for w in workers for line in w.log(10**6).splitlines() if "ERROR" in line)
    # "already sent" is only ever said of a message that did arrive.
    assert tally(smtp, list(outcomes))[0] == len(outcomes)
    # Lost is only what Redis handed to a worker's fetch (BRPOP) as it shut down,
    # before the worker recorded it as unacknowledged: at most one per worker and restart.
    lost = [task for task in unfinished if task not in late]
    assert counts[2] == len(lost) <= len(workers) * 2


def test_redis_restart_without_persistence_loses_what_it_held(tmp_path, smtp, capsys):
    """No persistence: the queue lives in memory only.  The fleet recovers; what Redis held is gone."""
    with RedisServer(str(tmp_path), persistent=False) as volatile, Client(volatile.url) as client:
        with fleet_of(["v1"], smtp, volatile.url, client, str(tmp_path), **TIMING):
            smtp.clear()
            tasks = enqueue(client, "volatile", 100)
            assert wait_until(lambda: len(smtp.messages) >= 20, 60)
            volatile.restart()
            time.sleep(TIMING["redis_wait"] + 2)
            counts = report(capsys, "Redis without persistence restarted, 100 messages", smtp, tasks)
            assert counts[0] < 100 and counts[1] == 0  # what was queued is gone, nothing repeated
            after = enqueue(client, "after", 10)  # the worker reconnected and takes new work
            client.wait(after, timeout=60)
            assert tally(smtp, after) == (10, 0, 0)


def test_poison_fails_alone_and_the_rest_flows(workers, smtp, client, attachment_dir, capsys):
    """Bad arguments, subjects past the engine's limits, attachments from outside MAIL_ATTACHMENT_DIR fail alone."""
    started = time.monotonic()
    outside = "is not inside MAIL_ATTACHMENT_DIR"
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
        **{client.send("mail.send", "a@example.org", "Files", "x", attachments=[path]): reason for path, reason in [
            ("/proc/self/environ", outside), ("../../../../../../proc/self/environ", outside),
            ("environ.txt", outside), ("/etc/passwd", outside), ("missing.pdf", "No such file or directory")]},
        **{client.send("mail.send_template", f"p{n}@example.org", subject, "verification_code",
                       context={"code": "1"}): "SecurityError: the template went over the limit"
           for n, subject in enumerate([CPU_POISON, MEMORY_POISON] * 2)},
    }
    good = enqueue(client, "good", 60)
    files = [client.send("mail.send", "a@example.org", "Files", "x", attachments=[path])
             for path in ["invoice.pdf", "alias.pdf", str(attachment_dir / "invoice.pdf")]]
    outcomes = settle(smtp, client, list(poison) + good + files)
    assert report(capsys, "4 poison subjects, 14 bad arguments + 63 good", smtp, good + files,
                  f"all done in {time.monotonic() - started:.0f} s") == (63, 0, 0)
    assert len(smtp.messages) == 63
    for task, expected in poison.items():
        state, error = outcomes[task]
        assert state == "FAILURE" and type(error).__name__ == "Undeliverable", (task, error)
        assert expected in str(error)
    for received in smtp.messages:
        if received["Subject"] == "Files":
            [part] = received.message.iter_attachments()
            assert part.get_content() == b"%PDF-1.4 invoice"
        assert b"MAIL_SMTP_PASSWORD" not in received.raw and CREDENTIALS[1].encode() not in received.raw


class Tarpit(SilentServer):
    """Greets a connection endlessly, a line every 0.3 s (at most 200), each within the socket
    timeout: only the task time limit ends a send to it.  One connection at a time."""

    def _serve(self, connection):
        for _ in range(200):
            if self._stopping.wait(0.3):
                return
            try:
                connection.sendall(b"220-please wait\r\n")
            except OSError:
                return


def test_a_send_that_never_ends_hits_the_task_time_limit(workdir, redis_server, client, capsys):
    with Tarpit() as tarpit, fleet_of(["tarpit"], tarpit, redis_server.url, client, str(workdir), queue="tarpit",
                                      concurrency=1, security="plain", **TIMING):
        task = client.send("mail.send", "slow@example.org", "Slow", "x", queue="tarpit")
        state, error = client.wait([task], timeout=90)[task]
    with capsys.disabled():
        print(f"\n[celery fault] a server that never finishes its greeting: {state}: {error}")
    assert state == "FAILURE" and "ran over the task time limit (26 s)" in str(error), error


def test_memory_poison_is_dead_lettered_after_bounded_redeliveries(workers, smtp, client, attachment_dir, capsys):
    def deadletter(*args):
        run = subprocess.run([sys.executable, "-m", "mailqueue.deadletter", *args], cwd=EXAMPLE,
                             env=workers[0].env, capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stdout + run.stderr
        return run.stdout

    for name in BIG_ATTACHMENTS:
        with open(attachment_dir / name, "wb") as file:
            file.truncate(45 * 1024 * 1024)
    with OOMKiller(workers, limit_mb=400) as killer:
        poison = client.send("mail.send", "oom@example.org", "Files", "x", attachments=BIG_ATTACHMENTS)
        good = enqueue(client, "mem", 20)
        outcomes = settle(smtp, client, [poison, *good], timeout=120)
        kills = len(killer.killed)
        assert report(capsys, "1 message of 360 MB attachments + 20 good, OOM killer at 400 MB", smtp, good,
                      f"pool processes killed {kills}x, then dead-lettered") == (20, 0, 0)
        state, error = outcomes[poison]
        assert state == "FAILURE" and "dead-lettered: started 3 times without finishing" in str(error)
        assert kills == TIMING["max_deliveries"]

        listed = deadletter("list")
        assert f"{poison}  mail.send  to oom@example.org  started 3 times without finishing" in listed
        assert "1 dead-lettered message(s)" in listed
        # Requeued, it gets a fresh count: three more runs, then set aside again.
        assert deadletter("requeue", poison) == f"requeued {poison}\n"
        assert wait_until(lambda: poison in deadletter("list"), 90)
        assert len(killer.killed) == 2 * TIMING["max_deliveries"]
        assert deadletter("drop", "--all") == f"dropped {poison}\n"
        assert deadletter("list") == "0 dead-lettered message(s)\n"
