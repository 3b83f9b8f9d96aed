"""Enqueue a batch of templated messages and report how each one ended.

    python enqueue_batch.py --count 100 --to 'user{n}@example.org'
    python enqueue_batch.py --count 100 --to 'user{n}@example.org' --no-wait

Every message gets its own code (the template variable) and its own task id,
derived from the batch name and the message number: enqueueing the same
batch twice does not send anything twice while the workers' "sent" marks
last (MAIL_SENT_TTL).  With --wait (the default) the script waits for every
task and prints one line per failed message, with the reason, and a summary
that tells messages sent now from those an earlier run had sent ("already
sent").
"""

from __future__ import annotations

import argparse
import sys
import time
import uuid
from typing import Any

from mailqueue.tasks import app, send_template

__all__ = ["enqueue", "main", "outcomes"]


def enqueue(batch: str, count: int, to: str, template: str = "verification_code") -> list[Any]:
    """Enqueue ``count`` messages; returns their Celery AsyncResults in order.

    A batch enqueued again reuses its task ids, under which the result store
    still holds the earlier run's outcomes: each is forgotten first, so the
    results report this run ("already sent" where the earlier one sent).
    An earlier run still in progress can store its outcome after that; run
    a batch again only once the earlier run has ended.
    """
    results = []
    for n in range(count):
        code = f"{batch}-{n:06d}"
        task_id = str(uuid.uuid5(uuid.NAMESPACE_URL, f"mailqueue:{batch}:{n}"))
        app.AsyncResult(task_id).forget()
        results.append(send_template.apply_async(
            args=[to.format(n=n), "Your code {{ code }}", template],
            kwargs={"context": {"code": code, "product_name": "Mailqueue"}},
            task_id=task_id,
        ))
    return results


def outcomes(results: list[Any], timeout: float) -> list[tuple[str, str]]:
    """(status, detail) of each task, in order, once all ended or ``timeout`` s passed.

    status is "sent", "already sent", "failed" (detail: the reason) or
    "unfinished".  Polls the result store rather than waiting on each
    result in turn, so one slow task does not hold up the others.
    """
    found: dict[str, tuple[str, str]] = {}
    deadline = time.monotonic() + timeout
    while True:
        for result in results:
            if result.id not in found and result.ready():
                if result.successful():
                    found[result.id] = (str(result.result["status"]), "")
                else:
                    found[result.id] = ("failed", str(result.result))
        if len(found) == len(results) or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    unfinished = ("unfinished", f"no result within {timeout:.0f} s")
    return [found.get(result.id, unfinished) for result in results]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=10)
    parser.add_argument("--to", default="user{n}@example.org", help="recipient; {n} is the message number")
    parser.add_argument("--template", default="verification_code")
    parser.add_argument("--batch", default=time.strftime("%Y%m%d%H%M%S"), help="batch name (default: now)")
    parser.add_argument("--no-wait", dest="wait", action="store_false")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds to wait for the whole batch")
    options = parser.parse_args(argv)

    started = time.monotonic()
    results = enqueue(options.batch, options.count, options.to, options.template)
    print(f"batch {options.batch}: {len(results)} messages enqueued")
    if not options.wait:
        return 0
    tally: dict[str, int] = {}
    for n, (result, (status, detail)) in enumerate(zip(results, outcomes(results, options.timeout))):
        tally[status] = tally.get(status, 0) + 1
        if detail:
            print(f"  message {n} ({result.id}): {detail}")
    summary = ", ".join(f"{count} {status}" for status, count in sorted(tally.items()))
    print(f"batch {options.batch}: {summary} in {time.monotonic() - started:.1f} s")
    return 0 if set(tally) <= {"sent", "already sent"} else 1


if __name__ == "__main__":
    sys.exit(main())
