"""examples/celery scaled out: a real Redis, two prefork workers, the local STARTTLS server with login.

Backoffs and the visibility timeout are shortened through the workers' environment.
"""

import collections
import os
import signal
import subprocess
import sys
import time

import pytest

from corvenda._process import wait_until
from mailfleet import EXAMPLE, SilentServer, enqueue, fleet_of, tally

pytestmark = pytest.mark.usefixtures("fleet_tools")

TIMING = {"socket_timeout": 1, "redis_wait": 1, "backoff_base": 0.2, "backoff_max": 1,  # short, for a test
          "max_retries": 6, "visibility_timeout": 26}


@pytest.fixture(scope="module")
def fleet_settings():
    return TIMING


def test_transient_faults_are_retried_and_every_message_arrives_once(workers, smtp, capsys):
    """The example's own client enqueues a batch under faults; enqueued again, nothing is sent twice."""
    def enqueue_batch():
        run = subprocess.run([sys.executable, "enqueue_batch.py", "--count", "300", "--batch", "faults",
                              "--timeout", "120"], cwd=EXAMPLE, env=workers[0].env, capture_output=True,
                             text=True, timeout=180)
        assert run.returncode == 0, run.stdout + run.stderr
        return run.stdout

    smtp.fail_next("RCPT", count=20, code=451)
    smtp.drop_connection("DATA")
    smtp.reject_logins(count=1, code=454)
    assert "batch faults: 300 sent in" in enqueue_batch()
    arrived = collections.Counter(str(m["Subject"]).removeprefix("Your code ") for m in smtp.messages)
    assert arrived == collections.Counter(f"faults-{n:06d}" for n in range(300))
    assert {m.envelope_to[0] for m in smtp.messages} == {f"user{n}@example.org" for n in range(300)}
    # Each of the 4 pool processes logs in once and keeps its connection: the dropped one and the
    # refused login cost one more each, the 451s none, and a connection is renewed after 100 messages.
    with capsys.disabled():
        print(f"\n[celery] 300 messages, 22 faults, 4 processes: {len(smtp.sessions)} SMTP connections")
    assert len(smtp.sessions) <= 4 + 2 + 300 // 100, smtp.sessions
    # The same task ids again: the workers find their marks; the client reports that, not the stored results.
    assert "batch faults: 300 already sent in" in enqueue_batch()
    assert len(smtp.messages) == 300


def test_permanent_failures_are_reported_once_and_never_sent(workers, smtp, client):
    smtp.refuse_recipients("bounce@example.org", code=550)
    refused = client.send("mail.send", "bounce@example.org", "Hello", "Hi")
    missing = client.send("mail.send_template", "ann@example.org", "Hi", "no_such_template")
    control = client.send("mail.send", "ann@example.org", "Hello", "Hi")
    partial = client.send("mail.send", ["ann@example.org", "bounce@example.org"], "Partly", "Hi")

    outcomes = client.wait([refused, missing, control, partial], timeout=30)

    state, result = outcomes[control]
    assert (state, result["status"], result["refused"], result["reply"][0], result["message_id"]) == (
        "SUCCESS", "sent", {}, 250, f"<{control}@corvenda.test>")
    # A message some recipients refused went to the others; the result names the refused.
    state, result = outcomes[partial]
    assert (state, result["status"], result["refused"]) == (
        "SUCCESS", "sent", {"bounce@example.org": [550, "5.1.1 Recipient address rejected"]})
    assert [(outcomes[t][0], type(outcomes[t][1]).__name__, str(outcomes[t][1])) for t in (refused, missing)] == [
        ("FAILURE", "Undeliverable", "recipient refused: bounce@example.org 550 5.1.1 Recipient address rejected"),
        ("FAILURE", "Undeliverable", "TemplateNotFound: no_such_template.html")]
    assert sorted(m.envelope_to for m in smtp.messages) == [["ann@example.org"]] * 2
    assert [client.attempts(task) for task in (refused, missing, control, partial)] == [1, 1, 1, 1]
    # A sent message's mark lasts MAIL_SENT_TTL (a week by default); one not sent has none.
    week = 7 * 24 * 3600
    assert [week - 60 < client.mark_lifetime(task) <= week for task in (control, partial)] == [True, True]
    assert [client.mark_lifetime(task) for task in (refused, missing)] == [-2, -2]


def test_a_threads_pool_sends_each_message_once_and_quits_on_shutdown(workdir, smtp, redis_server, client):
    smtp.clear()
    with fleet_of(["t1"], smtp, redis_server.url, client, str(workdir), queue="threads", concurrency=4,
                  pool="threads", **TIMING):
        tasks = [client.send("mail.send", f"user{n}@example.org", f"t{n}", "x", queue="threads") for n in range(40)]
        outcomes = client.wait(tasks, timeout=180)  # on a loaded machine this pool has taken close to a minute
    assert {t: r["message_id"] for t, (_, r) in outcomes.items()} == {t: f"<{t}@corvenda.test>" for t in tasks}
    assert tally(smtp, tasks) == (40, 0, 0) and len(smtp.messages) == 40
    # At most one connection per thread, each closed with QUIT when the worker stopped.
    assert wait_until(lambda: all(s.commands[-1:] == ["QUIT"] for s in smtp.sessions), 10), smtp.sessions
    assert 1 <= len(smtp.sessions) <= 4


def freeze_while_busy(client, worker, pids):
    """SIGSTOP the pool processes ``pids`` of ``worker`` at a moment all of them run a task; their task ids."""
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
    # A whole worker dies, all its processes busy (not fetching: docs/scaling.md); its unacknowledged
    # messages come back once the visibility timeout has passed, when a worker starts (its restart).
    assert wait_until(lambda: len(smtp.messages) >= 100, 60)
    in_flight += freeze_while_busy(client, w2, w2.children())
    w2.kill()
    time.sleep(TIMING["visibility_timeout"] + 0.5)
    w2.start()
    w2.wait_ready(client)

    outcomes = client.wait(tasks, timeout=90)
    smtp.wait_idle()
    assert {state for state, _ in outcomes.values()} == {"SUCCESS"} and set(in_flight) <= set(tasks)
    arrived = collections.Counter(str(m["Message-ID"]) for m in smtp.messages)
    copies = {task: arrived[f"<{task}@corvenda.test>"] for task in tasks}
    with capsys.disabled():
        print(f"\n[celery] SIGKILL during a batch of 200 ({len(in_flight)} tasks in flight): "
              "delivered {} / duplicated {} / lost {}".format(*tally(smtp, tasks)))
    # Every message arrived; only a task killed in flight can leave a second copy.
    assert {task: n for task, n in copies.items() if n != 1 and task not in in_flight} == {}
    assert set(copies.values()) <= {1, 2}


def test_a_silent_server_costs_retries_not_workers(workdir, redis_server, client):
    with SilentServer() as silent, fleet_of(["s1", "s2"], silent, redis_server.url, client, str(workdir),
                                            queue="silent", **{**TIMING, "max_retries": 1}) as quiet:
        hostnames = {w.hostname for w in quiet}
        tasks = [client.send("mail.send", f"user{n}@example.org", "Hello", "Hi", queue="silent") for n in range(4)]
        assert wait_until(lambda: silent.connections >= 4, 10)
        assert client.ping(list(hostnames)) == hostnames  # every pool process waits on the server
        outcomes = client.wait(tasks, timeout=30)
        assert {(state, str(error)) for state, error in outcomes.values()} == {
            ("FAILURE", "gave up after 2 attempts: connection lost: Connection unexpectedly closed: timed out")}
        assert silent.connections == 8
        assert client.ping(list(hostnames)) == hostnames
