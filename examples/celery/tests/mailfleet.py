"""A Redis server and Celery workers of this example, for its tests and the fleet benchmark.

    with RedisServer(tmpdir) as redis_server:
        env = worker_environment(redis_server.url, smtp_host, smtp_port, ca_file, ...)
        with Client(redis_server.url) as client, Worker("w1", env, tmpdir) as worker:
            worker.wait_ready(client)
            task_id = client.send("mail.send", "ann@example.org", "Hello", "Hi Ann")
            client.wait([task_id], timeout=30)
            ...

Redis listens on a unix socket in the given directory, and everything
else on 127.0.0.1; the files live in the given directory.  Each
worker runs in its own session (process group), so kill() takes down the
main process and its pool children at once, as a crashed machine would,
and stop() leaves no process behind, whatever state the worker is in.
Every wait is bounded.

The example's tests import this module from their folder; bench/celery_fleet.py
runs with that folder on PYTHONPATH.
"""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Mapping
from typing import Any

from corvenda._process import child_environ, wait_until

__all__ = ["CREDENTIALS", "Client", "EXAMPLE", "OOMKiller", "RedisServer", "SilentServer", "Worker",
           "free_port", "worker_environment"]

#: The example's folder (mailqueue, enqueue_batch.py), where the workers run.
EXAMPLE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "127.0.0.1"
#: The login of the test SMTP servers the tests' workers send through.
CREDENTIALS = ("mailer@corvenda.test", "s3cret")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return int(probe.getsockname()[1])


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


class SilentServer:
    """A TCP server on 127.0.0.1 that accepts connections and never sends a byte.

    ``connections`` counts the connections accepted so far.  The sockets
    stay open until stop().
    """

    def __init__(self) -> None:
        self.host = HOST
        self.connections = 0
        self._listener = socket.create_server((HOST, 0), backlog=64)
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

    def start(self) -> SilentServer:
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        if self._thread.is_alive():
            self._thread.join(5.0)
        self._listener.close()
        for connection in self._held:
            connection.close()

    def __enter__(self) -> SilentServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


class RedisServer:
    """``redis-server`` on a unix socket in ``directory``, with a password.

    The socket (``directory/redis.sock``) is the server's own from the
    start: no port is probed and freed for it to take, so nothing else can
    take it in between.  With ``persistent`` (the default) it runs as
    docs/scaling.md asks for production: an append-only file (``appendonly
    yes``), and keys are never evicted (``maxmemory-policy noeviction``), so
    a restart() keeps queue, results and marks.  Without it, a restart loses
    everything.
    """

    def __init__(self, directory: str, *, persistent: bool = True, password: str = "fleet-redis-pw") -> None:
        self.directory = directory
        self.persistent = persistent
        self.password = password
        self.socket = os.path.join(os.path.abspath(directory), "redis.sock")
        # The kernel's limit for a socket's path (sun_path) is 108 bytes.
        if len(self.socket.encode()) >= 108:
            raise ValueError(f"{self.socket}: too long a path for a unix socket; use a shorter directory")
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        """The server for Celery (broker and results) and for the workers' ``MAIL_BROKER_URL``."""
        return f"redis+socket://:{self.password}@{self.socket}?virtual_host=0"

    def start(self) -> RedisServer:
        """Start; after stop(), on the same socket."""
        persistence = (["--appendonly", "yes", "--appendfsync", "everysec"] if self.persistent
                       else ["--appendonly", "no"])
        with open(os.path.join(self.directory, "redis.log"), "ab") as log:
            self.process = subprocess.Popen(
                ["redis-server", "--port", "0", "--unixsocket", self.socket, "--unixsocketperm", "700",
                 "--dir", self.directory,
                 "--save", "", *persistence, "--maxmemory", "256mb", "--maxmemory-policy", "noeviction",
                 "--requirepass", self.password, "--protected-mode", "yes"],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                # A sanitizer runtime preloaded into the tests (tools/check-asan)
                # is for our extension, not for Redis, which it breaks.
                env=child_environ(),
            )
        _wait(self._answers, 10.0, "redis-server start")
        return self

    def _answers(self) -> bool:
        assert self.process is not None
        if self.process.poll() is not None:
            raise RuntimeError(f"redis-server exited with {self.process.returncode}; see {self.directory}/redis.log")
        try:
            with socket.socket(socket.AF_UNIX) as connection:
                connection.settimeout(1.0)
                connection.connect(self.socket)
                connection.sendall(f"AUTH {self.password}\r\nPING\r\n".encode())
                answer = b""
                while answer.count(b"\r\n") < 2:
                    chunk = connection.recv(64)
                    if not chunk:
                        return False
                    answer += chunk
                # -LOADING while the append-only file is read back.
                return answer.endswith(b"+PONG\r\n")
        except OSError:
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
    """SIGKILLs any pool process of ``workers`` whose resident memory exceeds ``limit_mb``.

    What the kernel's OOM killer does to a process that allocates without
    bound, on a smaller scale.  ``killed`` holds the ids of the processes killed.
    """

    def __init__(self, workers: list[Worker], limit_mb: int = 400) -> None:
        self.workers = workers
        self.limit = limit_mb * 1024 * 1024
        self.killed: set[int] = set()
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="oom-killer", daemon=True)
        self._page = os.sysconf("SC_PAGE_SIZE")

    def _watch(self) -> None:
        while not self._stopping.wait(0.01):
            for worker in self.workers:
                for pid in worker.children():
                    if pid in self.killed:  # dying: its memory is not freed at once
                        continue
                    try:
                        with open(f"/proc/{pid}/statm") as statm:
                            resident = int(statm.read().split()[1]) * self._page
                        if resident > self.limit:
                            os.kill(pid, signal.SIGKILL)
                            self.killed.add(pid)
                    except (OSError, ValueError, IndexError):
                        continue

    @property
    def kills(self) -> int:
        return len(self.killed)

    def __enter__(self) -> OOMKiller:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stopping.set()
        self._thread.join(5.0)


def worker_environment(
    redis_url: str,
    smtp_host: str,
    smtp_port: int,
    *,
    security: str = "starttls",
    credentials: tuple[str, str] = ("", ""),
    ca_file: str | None = None,
    **settings: object,
) -> dict[str, str]:
    """The environment of a worker of examples/celery, run by this interpreter.

    ``settings`` are further ``MAIL_*`` variables by field name, e.g.
    ``socket_timeout=2``.  ``ca_file`` becomes ``SSL_CERT_FILE``: the CA the
    workers' ``ssl.create_default_context()`` trusts.
    """
    import corvenda

    env = dict(os.environ)
    # The corvenda package this process imported (src/, a staged build, or
    # site-packages), then the example.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(corvenda.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(
        [package_root, EXAMPLE, *filter(None, [env.get("PYTHONPATH")])]
    )
    values: dict[str, object] = {
        "broker_url": redis_url,
        "smtp_host": smtp_host,
        "smtp_port": smtp_port,
        "smtp_security": security,
        "smtp_user": credentials[0],
        "smtp_password": credentials[1],
        **settings,
    }
    env.update({"MAIL_" + name.upper(): str(value) for name, value in values.items()})
    if ca_file is not None:
        env["SSL_CERT_FILE"] = ca_file
    return env


class Client:
    """Enqueues tasks to the workers and reads their outcomes, by polling.

    The sending app has no result backend: Celery would otherwise subscribe
    to every task's result channel and, when a result object is collected
    after Redis has stopped, complain from its finaliser.
    """

    def __init__(self, redis_url: str) -> None:
        from celery import Celery

        self.url = redis_url
        options: dict[str, Any] = dict(
            broker_connection_retry_on_startup=True, task_serializer="json",
            result_serializer="json", accept_content=["json"],
        )
        self.app = Celery("mailfleet-client", broker=redis_url)
        self.app.conf.update(options)
        self._reader = Celery("mailfleet-reader", broker=redis_url, backend=redis_url)
        self._reader.conf.update(options)

    def send(self, task: str, *args: Any, queue: str = "celery", **kwargs: Any) -> str:
        """Enqueue ``task`` with these arguments on ``queue``; returns the task id."""
        return str(self.app.send_task(task, args=args, kwargs=kwargs, queue=queue).id)

    def outcome(self, task_id: str) -> tuple[str, Any]:
        """(state, result) as stored: ("SUCCESS", return value), ("FAILURE", exception), ("PENDING", None)..."""
        meta = self._reader.backend.get_task_meta(task_id, cache=False)
        return str(meta["status"]), meta["result"]

    def wait(self, task_ids: list[str], timeout: float, partial: bool = False) -> dict[str, tuple[str, Any]]:
        """Outcomes of ``task_ids`` once all have ended; TimeoutError after ``timeout`` s.

        With ``partial`` the outcomes of those that ended by then, instead of the error.
        """
        done: dict[str, tuple[str, Any]] = {}

        def all_ended() -> bool:
            for task_id in task_ids:
                if task_id not in done:
                    state, result = self.outcome(task_id)
                    if state in ("SUCCESS", "FAILURE"):
                        done[task_id] = (state, result)
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

    def backlog(self) -> dict[str, int]:
        """Messages waiting in the default queue and delivered but unacknowledged, as kombu keeps them."""
        client = self._reader.backend.client
        return {"queued": int(client.llen("celery")), "unacknowledged": int(client.hlen("unacked"))}

    def held(self, queue: str = "celery") -> set[str]:
        """Ids of the tasks whose messages Redis holds: waiting in ``queue``, or taken and unacknowledged."""
        import json

        client = self._reader.backend.client
        taken = [json.loads(raw)[0] for raw in client.hvals("unacked")]
        waiting = [json.loads(raw) for raw in client.lrange(queue, 0, -1)]
        return {str(message["headers"]["id"]) for message in taken + waiting}

    def mark_lifetime(self, task_id: str) -> int:
        """Seconds the "sent" mark of ``task_id`` has left in Redis; -2: there is none."""
        return int(self._reader.backend.client.ttl(f"mailqueue:sent:{task_id}"))

    def purge(self) -> None:
        """Drop every message waiting in the default queue ("celery")."""
        self.app.control.purge()

    def reconnect(self) -> None:
        """New connections, after the Redis server restarted."""
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
        # An address-space limit for each process, a safety net for tests
        # that make a worker allocate without bound.
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

        # AddressSanitizer reserves terabytes of address space for its shadow
        # memory and cannot start under such a limit.
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
        if not self.alive():
            return []
        assert self.process is not None
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
        """SIGTERM to the main process only (``group=False``, systemd's KillMode=mixed) or to
        every process of the worker at once (``group=True``, KillMode=control-group), and
        wait for the worker to end; SIGKILL after ``timeout`` s.
        """
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
