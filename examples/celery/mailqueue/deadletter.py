"""The dead-letter queue: messages whose runs kept ending without an outcome.

A message is set aside when ``MAIL_MAX_DELIVERIES`` runs of it were
started and none finished (its process was killed each time, for instance
by the OOM killer because the message makes the worker allocate without
bound).  It then fails with :class:`~mailqueue.tasks.Undeliverable` and its
task, arguments and count wait in Redis (hash ``mailqueue:dead``) for an
operator::

    python -m mailqueue.deadletter list
    python -m mailqueue.deadletter requeue TASK_ID [TASK_ID ...]   # or --all
    python -m mailqueue.deadletter drop TASK_ID [TASK_ID ...]      # or --all

``requeue`` enqueues the message again under its own task id, with a fresh
count of runs, so that a fixed worker (more memory, a corrected template)
can send it; its "sent" mark still keeps it from going out twice.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from mailqueue.tasks import DEAD_LETTERS, _redis, _start_process, app, deliveries_key

__all__ = ["drop", "listing", "main", "requeue"]


def _client() -> Any:
    from mailqueue.tasks import _Process

    if _Process.redis is None:
        _start_process()
    return _Process.redis


def listing() -> list[dict[str, Any]]:
    """The dead-lettered messages, oldest first: id, task, args, kwargs, retries, deliveries, at, reason."""
    _client()
    raw: list[bytes] = _redis("list dead letters", lambda client: client.hvals(DEAD_LETTERS))  # type: ignore[arg-type, return-value]
    return sorted((json.loads(value) for value in raw), key=lambda record: (record["at"], record["id"]))


def requeue(task_ids: list[str] | None = None) -> list[str]:
    """Enqueue these dead-lettered messages again (None: all); returns the ids requeued.

    Ids that are not in the dead-letter queue are skipped.
    """
    _client()
    records = {record["id"]: record for record in listing()}
    chosen = list(records) if task_ids is None else [i for i in task_ids if i in records]
    for task_id in chosen:
        record = records[task_id]
        # A fresh count first: otherwise the requeued message would be set aside at once.
        _redis("reset count", lambda client: client.delete(deliveries_key(task_id, int(record["retries"]))))
        app.send_task(record["task"], args=record["args"], kwargs=record["kwargs"], task_id=task_id)
        _redis("remove dead letter", lambda client: client.hdel(DEAD_LETTERS, task_id))
    return chosen


def drop(task_ids: list[str] | None = None) -> list[str]:
    """Forget these dead-lettered messages (None: all) without sending them; returns the ids dropped."""
    _client()
    chosen = [r["id"] for r in listing()] if task_ids is None else task_ids
    dropped = [i for i in chosen if _redis("drop dead letter", lambda client: client.hdel(DEAD_LETTERS, i))]
    return dropped


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m mailqueue.deadletter", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list", help="show the dead-lettered messages")
    for name, text in (("requeue", "enqueue messages again"), ("drop", "forget messages")):
        command = commands.add_parser(name, help=text)
        command.add_argument("task_ids", nargs="*", metavar="TASK_ID")
        command.add_argument("--all", action="store_true", help="every dead-lettered message")
    options = parser.parse_args(argv)

    if options.command == "list":
        records = listing()
        for r in records:
            recipient = r["args"][0] if r["args"] else r["kwargs"].get("to", "?")
            print(f"{r['id']}  {r['task']}  to {recipient}  {r['reason']}")
        print(f"{len(records)} dead-lettered message(s)")
        return 0
    if options.all == bool(options.task_ids):
        parser.error(f"{options.command}: give task ids or --all, not both or neither")
    ids = None if options.all else list(options.task_ids)
    done = requeue(ids) if options.command == "requeue" else drop(ids)
    verb = "requeued" if options.command == "requeue" else "dropped"
    for task_id in done:
        print(f"{verb} {task_id}")
    missing = [] if ids is None else sorted(set(ids) - set(done))
    for task_id in missing:
        print(f"not in the dead-letter queue: {task_id}", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
