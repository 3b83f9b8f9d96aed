"""examples/celery under faults: a real Redis, real Celery workers, the local SMTP server.

Two workers (prefork, two processes each) of examples/celery take tasks from
a Redis server started for this module, and deliver to a STARTTLS server
with login on 127.0.0.1, trusted through SSL_CERT_FILE.  Backoffs and the
visibility timeout are shortened through the workers' environment.
"""

import collections
import os
import signal
import subprocess
import sys
import time

import pytest

from corvenda._process import wait_until
from mailfleet import CREDENTIALS, EXAMPLE, SilentServer, Worker, worker_environment

pytestmark = pytest.mark.usefixtures("fleet_tools")

# Short waits for a test; the defaults are for production (see mailqueue.config).
TIMING = {"socket_timeout": 1, "redis_wait": 1, "backoff_base": 0.2, "backoff_max": 1,
          "max_retries": 6, "visibility_timeout": 26}
SUBJECT = "Your code {{ code }}"


def codes(server):
    """How often each code arrived, from the subjects of the received messages."""
    return collections.Counter(str(m["Subject"]).removeprefix("Your code ") for m in list(server.messages))


def enqueue(client, prefix, count):
    """``count`` templated messages, each with its own code; returns {code: task id}."""
    tasks = {}
    for n in range(count):
        code = f"{prefix}-{n:04d}"
        tasks[code] = client.send("mail.send_template", f"user{n}@example.org", SUBJECT,
                                  "verification_code", context={"code": code})
    return tasks


@pytest.fixture(scope="module")
def fleet_settings():
    return TIMING


def test_transient_faults_are_retried_and_every_message_arrives_once(workers, smtp, redis_server, capsys):
    smtp.fail_next("RCPT", count=20, code=451)
    smtp.drop_connection("DATA")
    smtp.reject_logins(count=1, code=454)

    # The example's own client enqueues the batch and waits for every result.
    run = subprocess.run(
        [sys.executable, "enqueue_batch.py", "--count", "300", "--batch", "faults", "--timeout", "120"],
        cwd=EXAMPLE, env=workers[0].env, capture_output=True, text=True, timeout=180,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "batch faults: 300 sent in" in run.stdout

    arrived = codes(smtp)
    assert sorted(arrived) == [f"faults-{n:06d}" for n in range(300)]
    assert set(arrived.values()) == {1}
    # Each of the 4 pool processes logs in once and keeps its connection: the
    # dropped one and the refused login cost one more connection each, the
    # 451s none, and a connection is renewed after 100 messages.
    with capsys.disabled():
        print(f"\n[celery] 300 messages, 22 faults, 4 processes: {len(smtp.sessions)} SMTP connections")
    assert len(smtp.sessions) <= 4 + 2 + 300 // 100, smtp.sessions
    assert {m.envelope_to[0] for m in smtp.messages} == {f"user{n}@example.org" for n in range(300)}


def test_a_batch_enqueued_again_is_reported_as_already_sent(workers, smtp):
    def enqueue_batch():
        run = subprocess.run(
            [sys.executable, "enqueue_batch.py", "--count", "3", "--batch", "again", "--timeout", "60"],
            cwd=EXAMPLE, env=workers[0].env, capture_output=True, text=True, timeout=120,
        )
        assert run.returncode == 0, run.stdout + run.stderr
        return run.stdout

    assert "batch again: 3 sent in" in enqueue_batch()
    # The same task ids again: the workers find their marks and send nothing;
    # the client reports that, not the first run's stored results.
    assert "batch again: 3 already sent in" in enqueue_batch()
    assert sorted(codes(smtp)) == [f"again-{n:06d}" for n in range(3)]
    assert len(smtp.sessions) <= 3  # the processes' kept connections carry the messages


def test_permanent_failures_are_reported_once_and_never_sent(workers, smtp, client):
    smtp.refuse_recipients("bounce@example.org", code=550)
    refused = client.send("mail.send", "bounce@example.org", "Hello", "Hi")
    missing = client.send("mail.send_template", "ann@example.org", "Hi", "no_such_template")
    control = client.send("mail.send", "ann@example.org", "Hello", "Hi")
    partial = client.send("mail.send", ["ann@example.org", "bounce@example.org"], "Partly", "Hi")

    outcomes = client.wait([refused, missing, control, partial], timeout=30)

    state, result = outcomes[control]
    assert (state, result["status"], result["refused"], result["reply"][0]) == ("SUCCESS", "sent", {}, 250)
    assert result["message_id"] == f"<{control}@corvenda.test>"
    # A message some recipients refused went to the others; the result names the refused.
    state, result = outcomes[partial]
    assert (state, result["status"]) == ("SUCCESS", "sent")
    assert result["refused"] == {"bounce@example.org": [550, "5.1.1 Recipient address rejected"]}
    state, error = outcomes[refused]
    assert state == "FAILURE" and type(error).__name__ == "Undeliverable"
    assert str(error) == "recipient refused: bounce@example.org 550 5.1.1 Recipient address rejected"
    state, error = outcomes[missing]
    assert (state, str(error)) == ("FAILURE", "TemplateNotFound: no_such_template.html")
    assert sorted(m.envelope_to for m in smtp.messages) == [["ann@example.org"]] * 2
    # A sent message's mark lasts MAIL_SENT_TTL (a week by default); one not sent has none.
    week = 7 * 24 * 3600
    assert [week - 60 < client.mark_lifetime(task) <= week for task in (control, partial)] == [True, True]
    assert [client.mark_lifetime(task) for task in (refused, missing)] == [-2, -2]


def test_a_threads_pool_sends_each_message_once_and_quits_on_shutdown(workdir, smtp, env, client):
    smtp.clear()
    with Worker("t1", env, workdir, concurrency=4, queue="threads", pool="threads") as worker:
        worker.wait_ready(client)
        tasks = [client.send("mail.send", f"user{n}@example.org", f"t{n}", "x", queue="threads")
                 for n in range(40)]
        # Generous: on a loaded machine this pool has taken close to a minute.
        outcomes = client.wait(tasks, timeout=180)
    assert {t: r["message_id"] for t, (_, r) in outcomes.items()} == {t: f"<{t}@corvenda.test>" for t in tasks}
    arrived = collections.Counter(str(m["Message-ID"]) for m in smtp.messages)
    assert arrived == collections.Counter(f"<{t}@corvenda.test>" for t in tasks)
    # At most one connection per thread, each closed with QUIT when the worker stopped.
    # (The module's prefork fleet keeps its own connections open meanwhile.)
    assert wait_until(lambda: all(s.commands[-1:] == ["QUIT"] for s in smtp.sessions), 10), smtp.sessions
    assert 1 <= len(smtp.sessions) <= 4


def freeze_while_busy(client, worker, pids):
    """SIGSTOP the pool processes ``pids`` of ``worker`` at a moment all of them run a task.

    Returns the ids of the tasks they were running.
    """
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        try:
            running = [task for pid, task in client.running(worker.hostname).items() if pid in pids]
        except BaseException:
            for pid in pids:
                os.kill(pid, signal.SIGCONT)
            raise
        if len(running) == len(pids):
            return running
        for pid in pids:
            os.kill(pid, signal.SIGCONT)
        time.sleep(0.01)
    raise AssertionError(f"{worker.name}: pool processes not caught all running a task within 30 s")


def test_killed_workers_lose_no_message(workers, smtp, client, capsys):
    w1, w2 = workers
    tasks = enqueue(client, "kill", 200)

    # A pool process dies mid-task: its worker gives the task back at once.
    assert wait_until(lambda: len(smtp.messages) >= 50, 60)
    child = w1.children()[0]
    in_flight = freeze_while_busy(client, w1, [child])
    os.kill(child, signal.SIGKILL)
    # A whole worker dies with tasks in flight: its unacknowledged messages
    # come back once the visibility timeout has passed, when a worker starts
    # (here: its restart).  It dies with all its processes busy, so not while
    # it fetches a message: Redis hands one over before the worker records
    # it as unacknowledged, and a worker killed in between loses it (see
    # docs/scaling.md).
    assert wait_until(lambda: len(smtp.messages) >= 100, 60)
    in_flight += freeze_while_busy(client, w2, w2.children())
    w2.kill()
    killed_at = time.monotonic()
    time.sleep(max(0.0, killed_at + TIMING["visibility_timeout"] + 0.5 - time.monotonic()))
    w2.start()
    w2.wait_ready(client)

    wait_until(lambda: len(codes(smtp)) == 200, 90)
    arrived = codes(smtp)
    assert sorted(set(tasks) - set(arrived)) == [], f"never arrived; Redis holds {client.backlog()}"
    outcomes = client.wait(list(tasks.values()), timeout=60)
    assert {state for state, _ in outcomes.values()} == {"SUCCESS"}
    assert set(in_flight) <= set(tasks.values())
    duplicates = {code: n for code, n in arrived.items() if n > 1}
    with capsys.disabled():
        print(f"\n[celery] SIGKILL during a batch of 200 ({len(in_flight)} tasks in flight): "
              f"200 delivered, {sum(duplicates.values()) - len(duplicates)} duplicate(s) {sorted(duplicates)}")
    # Only a task killed in flight can leave a second copy.
    in_flight_codes = {code for code, task in tasks.items() if task in in_flight}
    assert set(duplicates) <= in_flight_codes and set(duplicates.values()) <= {2}


def test_a_silent_server_costs_retries_not_workers(workdir, redis_server, client):
    timing = {**TIMING, "socket_timeout": 1, "max_retries": 1}
    with SilentServer() as silent:
        env = worker_environment(redis_server.url, silent.host, silent.port,
                                 credentials=CREDENTIALS, **timing)
        # Their own queue: the module's other workers keep out of this.
        quiet = [Worker(name, env, workdir, concurrency=2, queue="silent") for name in ("s1", "s2")]
        try:
            for worker in quiet:
                worker.start()
            for worker in quiet:
                worker.wait_ready(client)
            tasks = [client.send("mail.send", f"user{n}@example.org", "Hello", "Hi", queue="silent")
                     for n in range(4)]
            assert wait_until(lambda: silent.connections >= 4, 10)
            # Every pool process waits on the server; the workers still answer.
            assert client.ping([w.hostname for w in quiet]) == {w.hostname for w in quiet}

            outcomes = client.wait(tasks, timeout=30)
            assert {(state, str(error)) for state, error in outcomes.values()} == {
                ("FAILURE", "gave up after 2 attempts: connection lost: "
                            "Connection unexpectedly closed: timed out")}
            assert silent.connections == 8
            assert client.ping([w.hostname for w in quiet]) == {w.hostname for w in quiet}
        finally:
            for worker in quiet:
                worker.stop()
