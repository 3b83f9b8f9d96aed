"""A Redis server and Celery workers of this example, for its tests and bench/celery_fleet.py.

Redis listens on a unix socket in the given directory, everything else on 127.0.0.1.  Each worker
runs in its own process group: kill() takes down the main process and its pool at once, as a
crashed machine would, and stop() leaves no process behind.  Every wait is bounded.
"""

from __future__ import annotations

import collections
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from typing import Any

from corvenda._process import child_environ, wait_until

#: The example's folder (mailqueue, enqueue_batch.py), where the workers run.
EXAMPLE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
#: The login of the test SMTP servers the tests' workers send through.
CREDENTIALS = ("mailer@corvenda.test", "s3cret")


def _wait(condition: Any, timeout: float, what: str, interval: float = 0.05) -> None:
    if not wait_until(condition, timeout, interval=interval):
        raise TimeoutError(f"{what}: not within {timeout} s")


def _end(process: subprocess.Popen[bytes], sig: int, grace: float, group: bool) -> None:
    """Send ``sig`` (to the process group with ``group``); SIGKILL after ``grace`` s."""
    def gone() -> bool:
        return process.poll() is not None and not (group and _group_alive(process.pid))

    for signum, wait in ((sig, grace), (signal.SIGKILL, 10.0)):
        if gone():
            return
        try:
            if group:
                os.killpg(process.pid, signum)
            else:
                process.send_signal(signum)
        except ProcessLookupError:
            pass
        if wait_until(gone, wait):
            return


def _group_alive(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    return True


def tally(smtp: Any, task_ids: list[str]) -> tuple[int, int, int]:
    """(delivered, duplicated, lost) of ``task_ids`` by the Message-IDs (``<task id@corvenda.test>``) at ``smtp``."""
    arrived = collections.Counter(str(m["Message-ID"]) for m in list(smtp.messages))
    counts = [arrived[f"<{task}@corvenda.test>"] for task in task_ids]
    delivered = sum(1 for n in counts if n)
    return delivered, sum(n - 1 for n in counts if n > 1), len(task_ids) - delivered


def enqueue(client: Client, prefix: str, count: int, **kwargs: Any) -> list[str]:
    """``count`` templated messages to ``{prefix}{n}@example.org``, each with its own code; their task ids."""
    return [client.send("mail.send_template", f"{prefix}{n}@example.org", "Your code {{ code }}",
                        "verification_code", context={"code": f"{prefix}-{n}"}, **kwargs) for n in range(count)]


class SilentServer:
    """A TCP server on 127.0.0.1 that accepts connections (``connections`` counts them) and never sends a byte."""

    def __init__(self) -> None:
        self.host = "127.0.0.1"
        self.connections = 0
        self._listener = socket.create_server((self.host, 0), backlog=64)
        self._listener.settimeout(0.1)
        self.port = int(self._listener.getsockname()[1])
        self._held: list[socket.socket] = []
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._accept, name="silent-server", daemon=True)

    def _accept(self) -> None:
        while not self._stopping.is_set():
            try:
                connection, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            self._held.append(connection)
            self.connections += 1
            self._serve(connection)

    def _serve(self, connection: socket.socket) -> None:
        """What the server does with a new connection: nothing (a subclass may answer)."""

    def __enter__(self) -> SilentServer:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stopping.set()
        self._thread.join(5.0)
        self._listener.close()
        for connection in self._held:
            connection.close()


class RedisServer:
    """``redis-server`` on the unix socket ``directory/redis.sock``, with a password.

    ``persistent``: as docs/scaling.md asks for production (``appendonly yes``, ``noeviction``),
    so a restart() keeps queue, results and marks; without, a restart loses everything.
    """

    def __init__(self, directory: str, *, persistent: bool = True, password: str = "fleet-redis-pw") -> None:
        self.directory = directory
        self.persistent = persistent
        self.password = password
        self.socket = os.path.join(os.path.abspath(directory), "redis.sock")
        if len(self.socket.encode()) >= 108:  # the kernel's limit (sun_path)
            raise ValueError(f"{self.socket}: too long a path for a unix socket; use a shorter directory")
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        """The server for Celery (broker and results) and for the workers' ``MAIL_BROKER_URL``."""
        return f"redis+socket://:{self.password}@{self.socket}?virtual_host=0"

    def start(self) -> RedisServer:
        persistence = (["--appendonly", "yes", "--appendfsync", "everysec"] if self.persistent
                       else ["--appendonly", "no"])
        with open(os.path.join(self.directory, "redis.log"), "ab") as log:
            self.process = subprocess.Popen(
                ["redis-server", "--port", "0", "--unixsocket", self.socket, "--unixsocketperm", "700",
                 "--dir", self.directory,
                 "--save", "", *persistence, "--maxmemory", "256mb", "--maxmemory-policy", "noeviction",
                 "--requirepass", self.password, "--protected-mode", "yes"],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                # Without the sanitizer runtime tools/check-asan preloads for our extension.
                env=child_environ(),
            )
        _wait(self._answers, 10.0, "redis-server start")
        return self

    def _answers(self) -> bool:
        import redis

        assert self.process is not None
        if self.process.poll() is not None:
            raise RuntimeError(f"redis-server exited with {self.process.returncode}; see {self.directory}/redis.log")
        try:  # -LOADING (BusyLoadingError) while the append-only file is read back
            with redis.Redis(unix_socket_path=self.socket, password=self.password, socket_timeout=1.0) as client:
                return bool(client.ping())
        except redis.RedisError:
            return False

    def restart(self, down: float = 0.0) -> None:
        """Stop (SIGTERM: Redis writes out what it holds), wait ``down`` s, start on the same socket."""
        self.stop()
        time.sleep(down)
        self.start()

    def stop(self) -> None:
        if self.process is not None:
            _end(self.process, signal.SIGTERM, 5.0, group=False)
            self.process = None

    def __enter__(self) -> RedisServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


class OOMKiller:
    """SIGKILLs any pool process of ``workers`` whose resident memory exceeds ``limit_mb``, as the kernel would.

    ``killed`` holds the ids of the processes killed.
    """

    def __init__(self, workers: list[Worker], limit_mb: int = 400) -> None:
        self.workers = workers
        self.limit = limit_mb * 1024 * 1024
        self.killed: set[int] = set()
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="oom-killer", daemon=True)

    def _watch(self) -> None:
        while not self._stopping.wait(0.01):
            for worker in self.workers:
                for pid in worker.children():
                    if pid in self.killed:  # dying: its memory is not freed at once
                        continue
                    try:
                        with open(f"/proc/{pid}/statm") as statm:
                            resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
                        if resident > self.limit:
                            os.kill(pid, signal.SIGKILL)
                            self.killed.add(pid)
                    except (OSError, ValueError, IndexError):
                        continue

    def __enter__(self) -> OOMKiller:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stopping.set()
        self._thread.join(5.0)


def worker_environment(redis_url: str, smtp_host: str, smtp_port: int, *, security: str = "starttls",
                       credentials: tuple[str, str] = ("", ""), ca_file: str | None = None,
                       **settings: object) -> dict[str, str]:
    """The environment of a worker of examples/celery, run by this interpreter.

    ``settings``: further ``MAIL_*`` variables by field name (``socket_timeout=2``).
    ``ca_file`` becomes ``SSL_CERT_FILE``, the CA the workers trust.
    """
    import corvenda

    env = dict(os.environ)
    # The corvenda package this process imported (src/, a staged build, or site-packages), then the example.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(corvenda.__file__)))
    env["PYTHONPATH"] = os.pathsep.join([package_root, EXAMPLE, *filter(None, [env.get("PYTHONPATH")])])
    values: dict[str, object] = {"broker_url": redis_url, "smtp_host": smtp_host, "smtp_port": smtp_port,
                                 "smtp_security": security, "smtp_user": credentials[0],
                                 "smtp_password": credentials[1], **settings}
    env.update({"MAIL_" + name.upper(): str(value) for name, value in values.items()})
    if ca_file is not None:
        env["SSL_CERT_FILE"] = ca_file
    return env


class Client:
    """Enqueues tasks to the workers and reads their outcomes, by polling.

    The sending app has no result backend: Celery would subscribe to every task's
    result channel, and complain from a finaliser when Redis has stopped.
    """

    def __init__(self, redis_url: str) -> None:
        from celery import Celery

        self.url = redis_url
        options: dict[str, Any] = dict(broker_connection_retry_on_startup=True, task_serializer="json",
                                       result_serializer="json", accept_content=["json"])
        self.app = Celery("mailfleet-client", broker=redis_url)
        self.app.conf.update(options)
        self._reader = Celery("mailfleet-reader", broker=redis_url, backend=redis_url)
        self._reader.conf.update(options)

    def send(self, task: str, *args: Any, queue: str = "celery", **kwargs: Any) -> str:
        """Enqueue ``task`` with these arguments on ``queue``; returns the task id."""
        return str(self.app.send_task(task, args=args, kwargs=kwargs, queue=queue).id)

    def wait(self, task_ids: list[str], timeout: float, partial: bool = False) -> dict[str, tuple[str, Any]]:
        """("SUCCESS", return value) or ("FAILURE", exception) of each task once all ended; TimeoutError
        after ``timeout`` s, or with ``partial`` the outcomes of those that ended by then."""
        done: dict[str, tuple[str, Any]] = {}

        def all_ended() -> bool:
            for task_id in task_ids:
                if task_id not in done:
                    meta = self._reader.backend.get_task_meta(task_id, cache=False)
                    if meta["status"] in ("SUCCESS", "FAILURE"):
                        done[task_id] = (str(meta["status"]), meta["result"])
            return len(done) == len(task_ids)

        if not wait_until(all_ended, timeout, interval=0.1) and not partial:
            raise TimeoutError(f"{len(task_ids) - len(done)} of {len(task_ids)} tasks unfinished after {timeout} s")
        return done

    def ping(self, hostnames: list[str], timeout: float = 5.0) -> set[str]:
        """Names of the workers among ``hostnames`` that answered within ``timeout`` s."""
        import redis

        try:
            replies = self.app.control.ping(destination=hostnames, timeout=timeout, limit=len(hostnames))
        except redis.ConnectionError:  # a connection from before a restart of Redis
            self.reconnect()
            return set()
        return {name for reply in replies for name in reply}

    def running(self, hostname: str) -> dict[int, str]:
        """What the worker ``hostname`` runs now: {pool process id: task id}."""
        replies = self.app.control.inspect([hostname], timeout=2.0, limit=1).active() or {}
        return {int(task["worker_pid"]): str(task["id"])
                for task in replies.get(hostname, []) if task.get("worker_pid")}

    def held(self, queue: str = "celery") -> set[str]:
        """Ids of the tasks whose messages Redis holds: waiting in ``queue``, or taken and unacknowledged."""
        client = self._reader.backend.client
        taken = [json.loads(raw)[0] for raw in client.hvals("unacked")]
        waiting = [json.loads(raw) for raw in client.lrange(queue, 0, -1)]
        return {str(message["headers"]["id"]) for message in taken + waiting}

    def attempts(self, task_id: str) -> int:
        """Attempts the workers counted of ``task_id`` (a run counter per retry)."""
        return len(self._reader.backend.client.keys(f"mailqueue:deliveries:{task_id}:*"))

    def mark_lifetime(self, task_id: str) -> int:
        """Seconds the "sent" mark of ``task_id`` has left in Redis; -2: there is none."""
        return int(self._reader.backend.client.ttl(f"mailqueue:sent:{task_id}"))

    def purge(self) -> None:
        self.app.control.purge()

    def reconnect(self) -> None:
        self.close()
        self.__init__(self.url)  # type: ignore[misc]

    def close(self) -> None:
        self.app.close()
        self._reader.close()

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Worker:
    """One ``celery worker`` (prefork, or ``pool="threads"``) of examples/celery, in its own process group."""

    def __init__(self, name: str, env: Mapping[str, str], directory: str, concurrency: int = 2,
                 queue: str = "celery", memory_cap_mb: int = 3072, pool: str = "prefork") -> None:
        self.name = name
        self.queue = queue
        self.hostname = f"{name}@mailfleet"
        self.env = dict(env)
        self.log_path = os.path.join(directory, f"worker-{name}.log")
        self.concurrency = concurrency
        self.pool = pool
        # Each process's address space, a safety net for tests that make a worker allocate without bound.
        self.memory_cap = memory_cap_mb * 1024 * 1024
        self.process: subprocess.Popen[bytes] | None = None

    def start(self) -> Worker:
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "celery", "-A", "mailqueue.tasks", "worker",
                 "--pool", self.pool, "--concurrency", str(self.concurrency),
                 "--hostname", self.hostname, "--queues", self.queue, "--loglevel", "INFO",
                 "--without-gossip", "--without-mingle", "--without-heartbeat"],
                env=self.env, cwd=EXAMPLE, stdout=log, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL, start_new_session=True, preexec_fn=self._limit,
            )
        return self

    def _limit(self) -> None:
        import resource

        # AddressSanitizer reserves terabytes for its shadow memory and cannot start under such a limit.
        if "asan" not in self.env.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (self.memory_cap, self.memory_cap))

    def wait_ready(self, client: Client, timeout: float = 60.0) -> None:
        """Wait until the worker answers a ping and all its pool processes run."""
        def ready() -> bool:
            if not self.alive():
                raise RuntimeError(f"worker {self.name} exited; its log:\n{self.log()}")
            answered = client.ping([self.hostname], timeout=1.0)
            return bool(answered) and (self.pool != "prefork" or len(self.children()) >= self.concurrency)
        _wait(ready, timeout, f"worker {self.name} start", interval=0.2)

    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def children(self) -> list[int]:
        """Process ids of the pool processes."""
        if self.process is None or not self.alive():
            return []
        try:
            with open(f"/proc/{self.process.pid}/task/{self.process.pid}/children") as listing:
                return [int(pid) for pid in listing.read().split()]
        except OSError:
            return []

    def kill(self) -> None:
        """SIGKILL the whole worker, main process and pool children at once."""
        if self.process is not None:
            _end(self.process, signal.SIGKILL, 10.0, group=True)

    def stop(self) -> None:
        """Warm shutdown (SIGTERM: finish running tasks), SIGKILL after 15 s."""
        if self.process is not None:
            _end(self.process, signal.SIGTERM, 15.0, group=True)
            self.process = None

    def terminate(self, group: bool, timeout: float = 60.0) -> None:
        """SIGTERM to the main process (systemd's KillMode=mixed) or, with ``group``, to all
        at once (KillMode=control-group); SIGKILL after ``timeout`` s."""
        if self.process is not None:
            _end(self.process, signal.SIGTERM, timeout, group=group)
            if group is False:  # pool processes outliving their parent count as a failure
                _end(self.process, signal.SIGKILL, 0.0, group=True)
            self.process = None

    def log(self, tail: int = 4000) -> str:
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as text:
                return text.read()[-tail:]
        except OSError:
            return ""

    def __enter__(self) -> Worker:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


@contextmanager
def fleet_of(names: list[str], server: Any, redis_url: str, client: Client, directory: str, *,
             queue: str = "celery", concurrency: int = 2, pool: str = "prefork", security: str = "starttls",
             **settings: object) -> Iterator[list[Worker]]:
    """Workers ``names`` on ``queue`` sending to ``server`` with CREDENTIALS, started and ready; stopped on exit."""
    env = worker_environment(redis_url, server.host, server.port, security=security, credentials=CREDENTIALS,
                             ca_file=getattr(server, "ca_file", None), **settings)
    workers = [Worker(name, env, directory, concurrency, queue, pool=pool) for name in names]
    try:
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.wait_ready(client)
        yield workers
    finally:
        for worker in workers:
            worker.stop()
