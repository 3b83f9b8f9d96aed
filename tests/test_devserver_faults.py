"""The development server (python -m corvenda.testing): as a child process, and its main() run in this process."""

import asyncio
import concurrent.futures
import contextlib
import errno
import io
import os
import re
import resource
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest

import corvenda
from corvenda import SECURITY_MODES, testing
from corvenda._process import child_environ, wait_until
from corvenda.mailer import EasyMailer
from corvenda.testing import _devserver
from corvenda.testing._server import _LoopErrors

USER, PASSWORD = "dev", "pw"


def send(dev, raw):
    with smtplib.SMTP("127.0.0.1", dev.port, timeout=30) as client:
        client.login(USER, PASSWORD)
        client.sendmail("app@example.com", ["ann@example.com"], raw)
    return dev.wait_for("=== Message")


def raw_message(headers, body="hello"):
    return ("".join(f"{name}: {value}\r\n" for name, value in headers) + f"\r\n{body}\r\n").encode()


def within(seconds, call):
    """call() in a thread: its result or its exception; TimeoutError if it takes longer than ``seconds``."""
    future = concurrent.futures.Future()

    def run():
        try:
            future.set_result(call())
        except BaseException as error:  # noqa: BLE001 - handed to the test
            future.set_exception(error)
    threading.Thread(target=run, daemon=True).start()
    return future.result(seconds)


# A script given as ``python``: the child prints what the test picks, handles SIGINT itself and runs a minute at most.
LISTENS = "print('listening on 127.0.0.1:4321'); print('Press Ctrl-C to stop.')"
RUNS = "time.sleep(60)"
ERRORS = "print('e1', 'e2', sep='\\n', file=sys.stderr)"


def fake_python(tmp_path, script, on_sigint="signal.SIG_DFL"):
    path = tmp_path / "python"
    path.write_text(f"#!{sys.executable} -u\nimport os, signal, sys, time\n"
                    f"signal.signal(signal.SIGINT, {on_sigint})\n{script}\n")
    path.chmod(0o755)
    return str(path)


@pytest.mark.parametrize(("on_sigint", "stop_timeout", "said", "code"), [
    ("lambda *_: sys.exit(print('bye'))", 30, "bye\n", 0),  # stops on Ctrl-C
    ("signal.SIG_IGN", 0.5, "", -signal.SIGKILL),  # ignores it: killed once stop_timeout is over
])
def test_a_dev_server_process_reads_its_banner_and_stops_its_child(tmp_path, on_sigint, stop_timeout, said, code):
    python = fake_python(tmp_path, f"""print(f"in {{os.getcwd()}}: {{' '.join(sys.argv[1:])}}"); {ERRORS}
print('CA certificate: /ca dir/ca.pem'); print('CA certificate: /tmp/ca.pem'); {LISTENS}; print('one\\ntwo')
{RUNS}""", on_sigint)
    server = testing.DevServerProcess("--mode", "ssl", python=python, stop_timeout=stop_timeout, start_timeout=30,
                                      cwd=tmp_path)
    assert repr(server) == "<DevServerProcess --port 0 --mode ssl port 0>"
    try:
        within(60, server.start)
        assert (server.port, server.ca_file, repr(server)) == (
            4321, "/tmp/ca.pem", "<DevServerProcess --port 0 --mode ssl port 4321>")
        assert server.banner.startswith(f"in {tmp_path}: -m corvenda.testing --port 0 --mode ssl\n")
        assert wait_until(lambda: len(server.errors) == 2, 10)
        with pytest.raises(AssertionError) as waited:
            within(30, lambda: server.wait_for("never", timeout=0.2))
        assert str(waited.value) == "no 'never' within 0.2 s; output:\none\ntwo\ne1\ne2\n"
        with pytest.raises(RuntimeError, match="was started already"):
            server.start()
        assert server.returncode is None
    finally:
        assert within(20, server.stop) == code == server.returncode
    with pytest.raises(EOFError) as ended:
        server.wait_for("more", timeout=10)
    assert str(ended.value) == f"output ended before 'more'; output:\n{said}e1\ne2\n"


@pytest.mark.parametrize(("script", "start_timeout", "message", "code"), [
    (f"print('one\\ntwo'); {ERRORS}; sys.exit(3)", 30,
     "output ended before 'Press Ctrl-C'; output:\none\ntwo\ne1\ne2\n", 3),
    (f"{ERRORS}; print('one'); {RUNS}", 2, "no 'Press Ctrl-C' within 2 s; output:\none\ne1\ne2\n", -signal.SIGINT),
    (f"print('Press Ctrl-C to stop.'); {RUNS}", 30,
     "the banner has no '127\\\\.0\\\\.0\\\\.1:(\\\\d+)':\nPress Ctrl-C to stop.\n", -signal.SIGINT),
])
def test_a_dev_server_process_that_does_not_start_is_stopped_and_says_why(tmp_path, script, start_timeout, message,
                                                                         code):
    server = testing.DevServerProcess(python=fake_python(tmp_path, script), start_timeout=start_timeout)
    try:
        with pytest.raises(RuntimeError) as failed:
            within(60, server.start)
    finally:
        if server.process is not None and server.process.poll() is None:
            server.process.kill()
    assert str(failed.value) == "the development server did not start: " + message
    assert (server.returncode, server.port, server.banner, server.ca_file) == (code, 0, "", None)


def test_a_dev_server_process_never_stopped_leaves_no_child(tmp_path):
    python = fake_python(tmp_path, f"{LISTENS}; {RUNS}")
    process = within(60, lambda: testing.DevServerProcess(python=python).start().process)
    assert process.returncode == -signal.SIGKILL
    script = ("import sys; from corvenda.testing import DevServerProcess\n"
              "server = DevServerProcess(python=sys.argv[1]).start()\n"
              "print(server.process.pid, flush=True)\n")
    with subprocess.Popen([sys.executable, "-c", script, python], stdout=subprocess.PIPE, text=True,
                          env=child_environ()) as parent:
        child = None
        try:
            child = int(parent.stdout.readline())
            assert parent.wait(timeout=60) == 0
            with pytest.raises(ProcessLookupError):
                os.kill(child, 0)
        finally:
            parent.kill()
            if child is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(child, signal.SIGKILL)


@pytest.fixture(scope="module")
def dev(tmp_path_factory):
    save_dir = tmp_path_factory.mktemp("devserver") / "mail"
    with testing.DevServerProcess("--mode", "plain", "--user", USER, "--password", PASSWORD, "--save", str(save_dir),
                                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))) as server:
        server.save_dir = save_dir
        yield server
    assert server.returncode == 0, "stopped as on Ctrl-C"
    assert "stopped after" in server.wait_for("stopped", timeout=10)


@pytest.fixture
def alive(dev):
    """After the test: the server still runs and still shows and saves a plain message."""
    yield dev
    assert dev.returncode is None, "".join(dev.errors)
    shown = send(dev, b"Subject: still here\r\n\r\nhello\r\n")
    assert "Subject: still here" in shown + dev.wait_for("Saved")


def test_saving_never_overwrites_or_follows_an_existing_name(alive, tmp_path):
    """Every name the server could pick in the next 30 s is a link to a file that must stay untouched."""
    outside = tmp_path / "precious"
    outside.write_bytes(b"keep")
    now = time.time()
    for second in range(-1, 30):
        stamp = time.strftime("%Y%m%d-%H%M%S", time.localtime(now + second))
        for number in range(1, 40):
            os.symlink(outside, alive.save_dir / f"{stamp}-{number:04d}.eml")
    shown = send(alive, raw_message([("Subject", "saved")])) + alive.wait_for("Saved")
    saved = re.search(r"Saved (\S+)", shown).group(1)
    assert not os.path.islink(saved)
    with open(saved, "rb") as eml:
        assert eml.read() == raw_message([("Subject", "saved")])
    assert outside.read_bytes() == b"keep"


def test_connections_beyond_the_cap_get_421_and_nothing_floods_the_log(alive):
    """64 open files: the server serves 16 connections at once."""
    with contextlib.ExitStack() as stack:
        clients = [stack.enter_context(socket.create_connection(("127.0.0.1", alive.port), timeout=10))
                   for _ in range(60)]
        greetings = [c.recv(200) for c in clients]
    served = [g for g in greetings if g.startswith(b"220")]
    assert len(served) == 16
    assert set(greetings) - set(served) == {b"421 4.7.0 Too many connections, try again later\r\n"}
    assert sum(map(len, alive.errors)) < 2000, "".join(alive.errors)


def test_out_of_file_descriptor_reports_are_rate_limited(capsys, caplog):
    handler = _LoopErrors()
    loop = asyncio.new_event_loop()
    handler(loop, {"message": "something else", "exception": RuntimeError("went wrong")})  # reported as usual
    loop.close()
    assert "something else" in caplog.text and "went wrong" in caplog.text
    for expected in (ssl.SSLError(1, "certificate unknown"), ConnectionResetError()):  # quiet
        handler(None, {"message": "connection lost", "exception": expected})
    error = OSError(errno.EMFILE, os.strerror(errno.EMFILE))
    for _ in range(1000):
        handler(None, {"message": "socket.accept() out of system resource", "exception": error})
    handler._last -= handler.interval
    handler(None, {"message": "socket.accept() out of system resource", "exception": error})
    report = ("corvenda.testing: cannot accept connections: Too many open files{}; "
              "close some, or raise the open-file limit (ulimit -n)")
    lines = capsys.readouterr().err.splitlines()
    assert lines == [report.format(""), report.format(" (999 more since the last report)")]


# -- the dev server's main() run in this process -----------------------------------


class Output(io.BytesIO):
    """The far end of an output pipe: it sees what the process flushed, not what it buffers."""

    def __init__(self):
        super().__init__()
        self.done = threading.Event()

    @property
    def text(self):
        return self.getvalue().decode("utf-8", "replace")

    def wait(self, condition, timeout=10):
        """Wait until ``condition()`` holds; fail at once if main() returned."""
        wait_until(lambda: self.done.is_set() or condition(), timeout)
        assert condition(), self.text


@pytest.fixture
def run_main():
    """run_main(*argv, drive=None, stop=SIGTERM, port="0") -> (status, stdout, stderr).

    main() runs in this thread, its output buffered as for a pipe; ``drive(output)`` runs in another once the
    banner is out, then ``stop`` is sent to this thread, as Ctrl-C or a service manager would.
    """
    saved = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM)}

    def run(*argv, drive=None, stop=signal.SIGTERM, port="0"):
        out = Output()
        err = out.errors = Output()
        finished = out.done  # set when main() returned
        failures = []
        main_thread = threading.get_ident()

        def driver():
            try:
                assert wait_until(lambda: out.getvalue() or finished.is_set(), 30)
                if drive is not None and not finished.is_set():
                    drive(out)
            except BaseException as error:
                failures.append(error)
            finally:
                if not finished.is_set():
                    signal.pthread_kill(main_thread, stop)

        stdout = io.TextIOWrapper(io.BufferedWriter(out), encoding="utf-8")
        stderr = io.TextIOWrapper(io.BufferedWriter(err), encoding="utf-8", line_buffering=True)
        thread = threading.Thread(target=driver, daemon=True)
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            thread.start()
            try:
                status = _devserver.main([*(["--port", port] if port else []), *argv])
            except SystemExit as exit:
                status = exit.code
            except KeyboardInterrupt:  # the stop signal came while main() was failing
                raise AssertionError("main() ended by an error, not by the stop signal") from None
            finally:
                finished.set()
                thread.join(60)
                stdout.flush()
                stderr.flush()
        if failures:
            raise failures[0]
        return status, out.text, err.text

    yield run
    for number, handler in saved.items():
        signal.signal(number, handler)


def port_of(text):
    return int(re.search(r"127\.0\.0\.1:(\d+)", text).group(1))


# mode: (what the banner says of it, the mailer's options for it, what a session's summary says)
BANNER = {"plain": ("no TLS, login required", "use_ssl=False, use_tls=False", "no TLS"),
          "starttls": ("STARTTLS and login required", "use_ssl=False, use_tls=True", "TLS"),
          "ssl": ("implicit TLS, login required", "use_ssl=True, use_tls=False", "TLS")}


@pytest.mark.parametrize("mode", ["plain", "starttls", "ssl", "ssl kept"])
def test_banner_says_how_to_reach_and_trust_it_and_a_signal_stops_it(run_main, tmp_path, mode, monkeypatch):
    mode, _, kept = mode.partition(" ")
    ca_dir = tmp_path / "ca"
    sent = []

    def drive(output):
        ca_file = re.search(r"CA certificate: (\S+)", output.text)
        if ca_file:
            monkeypatch.setenv("SSL_CERT_FILE", ca_file.group(1))
            assert os.path.exists(ca_file.group(1))
        sent.append(ca_file and ca_file.group(1))
        EasyMailer("127.0.0.1", port_of(output.text), "user", "password", default_sender="app@example.com",
                   **SECURITY_MODES[mode]).send("ann@example.com", "Hi", body="x")
        output.wait(lambda: "=== Message" in output.text)

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # as where the shell that started it ignores SIGINT
    options = {"plain": ["--refuse-recipients", "x@example.com"]}.get(mode, []) + [
        "--ca-dir", str(ca_dir), "--save", str(tmp_path)] * bool(kept)
    stop = signal.SIGINT if mode == "plain" else signal.SIGTERM
    status, out, err = run_main("--mode", mode, *options, drive=drive, stop=stop)
    [ca_file], port, (notes, security, tls) = sent, port_of(out), BANNER[mode]
    assert (status, err, ca_file is None) == (0, "", mode == "plain")
    expected = [f"corvenda.testing: SMTP server on 127.0.0.1:{port}, mode {mode} ({notes})", "Login: user / password",
                f'Mailer: EasyMailer("127.0.0.1", {port}, "user", "password", {security})']
    if ca_file:
        expected += [f"CA certificate: {ca_file}", "  Trust it in your application's process, e.g.:",
                     f"    SSL_CERT_FILE={ca_file} python3 your_app.py",
                     "  (ssl.create_default_context() reads SSL_CERT_FILE; "
                     + ("the CA is kept for the next run with this --ca-dir)" if kept else
                        "the file is removed when this server stops; --ca-dir DIR keeps one CA across runs)")]
    expected += [f"Saving each message to {tmp_path}/ as an .eml file"] * bool(kept) + ["Faults armed:",
                 "  RCPT refused with 550 for x@example.com"] * (mode == "plain") + ["Press Ctrl-C to stop.", ""]
    assert out.split("\n")[:len(expected)] == expected
    session = f"EHLO {'STARTTLS EHLO ' * (mode == 'starttls')}AUTH MAIL RCPT DATA  (login user, {tls})"
    assert f"\nSession    {session}\n" in out
    assert out.endswith("\ncorvenda.testing: stopped after 1 message(s)\n")
    assert (ca_file == str(ca_dir / "ca.pem") and os.path.exists(ca_file)) if kept else (
        ca_file is None or not os.path.exists(ca_file))


def test_fault_flags_arm_the_faults_of_the_same_names(run_main):
    outcomes = []

    def drive(output):
        mailer = EasyMailer("127.0.0.1", port_of(output.text), "dev", "pw", default_sender="app@example.com",
                            use_ssl=False)
        intruder = EasyMailer("127.0.0.1", port_of(output.text), "dev", "guess", use_ssl=False)
        for sender, to in [(mailer, "ann@example.com"), (mailer, "ann@example.com"), (intruder, "ann@example.com")] + [
                (mailer, to) for to in ["ann@example.com"] * 4 + ["ghost@example.com"] + ["ann@example.com"] * 3]:
            try:
                sender.send(to, "Hi", body="x")
                outcomes.append("sent")
            except smtplib.SMTPRecipientsRefused as error:
                outcomes.append(error.recipients[to][0])
            except smtplib.SMTPServerDisconnected:
                outcomes.append("dropped")
            except smtplib.SMTPResponseException as error:
                outcomes.append(error.smtp_code)
        output.wait(lambda: output.text.count("=== Message") == 2)

    argv = ("--mode plain --user dev --password pw --reject-logins 1 --reject-logins 1:454 --fail-next MAIL:2:421 "
            "--fail-next data:1 --fail-next noop --refuse-recipients Ghost@Example.com nobody@example.com "
            "--refuse-recipients x@example.com --refuse-code 551 --drop-connection RCPT:2 --drop-connection data:After")
    status, out, err = run_main(*argv.split(), drive=drive)
    assert (status, err) == (0, "")
    assert outcomes == [535, 454, 535, 421, 421, "dropped", "dropped", 551, 451, "dropped", "sent"]
    assert out.split("Faults armed:\n")[1].split("Press Ctrl-C")[0].splitlines() == [
        "  RCPT refused with 551 for Ghost@Example.com, nobody@example.com, x@example.com",
        "  the next 2 MAIL answered with 421", "  the next 1 DATA answered with 451",
        "  the next 1 NOOP answered with 451", "  the next 1 login(s) rejected with 535",
        "  the next 1 login(s) rejected with 454",
        "  the connection dropped at the next 2 RCPT, unanswered",
        "  the connection dropped at the next 1 DATA, after carrying it out"]
    assert out.endswith("stopped after 2 message(s)\n")


@pytest.mark.parametrize(("argv", "message"), [
    ("--fail-next MAIL:x", "COUNT must be a number, not 'x'"),
    ("--fail-next MAIL:1:4x", "CODE must be a number, not '4x'"),
    ("--fail-next MAIL:1:451:2", "expected VERB[:COUNT[:CODE]], not 'MAIL:1:451:2'"),
    ("--fail-next HELLO", "unknown SMTP command 'HELLO'; one of AUTH, DATA, EHLO, EXPN, HELO, HELP, MAIL, NOOP, QUIT, "
                          "RCPT, RSET, STARTTLS, VRFY"),
    ("--fail-next MAIL:1:600", "code must be a 4xx or 5xx SMTP reply code, not 600"),
    ("--fail-next RCPT:2:399", "code must be a 4xx or 5xx SMTP reply code, not 399"),
    ("--drop-connection DATA:1:2", "expected VERB[:COUNT][:after], not 'DATA:1:2'"),
    ("--drop-connection DATA:x:after", "COUNT must be a number, not 'x'"),
    ("--drop-connection DATA:0", "count must be at least 1, not 0"),
    ("--reject-logins x", "COUNT must be a number, not 'x'"),
    ("--reject-logins 1:x", "CODE must be a number, not 'x'"),
    ("--reject-logins 0", "count must be at least 1, not 0"),
    ("--refuse-recipients a@example.com --refuse-code 250", "code must be a 4xx or 5xx SMTP reply code, not 250"),
    ("--version", f"corvenda {corvenda.__version__}\n"),
])
def test_options_that_cannot_work_end_it_before_it_listens(run_main, argv, message):
    status, out, err = run_main(*argv.split())
    assert status == (0 if argv == "--version" else 2) and "Press Ctrl-C" not in out
    assert message in (err if status else out)


HELP = """
options:
  -h, --help show this help message and exit
  --mode {plain,starttls,ssl} security mode (default: starttls)
  --port PORT port on 127.0.0.1 (default: 8025; 0: any free)
  --user USER login user name (default: user)
  --password PASSWORD login password (default: password)
  --save DIR write each message to DIR as an .eml file
  --version show program's version number and exit
  --ca-dir DIR keep the CA (ca.pem, ca-key.pem) in DIR and use it again on every start
faults:
  armed at start, as by the SMTPServer methods of the same names
  --refuse-recipients ADDRESS [ADDRESS ...] refuse RCPT for these addresses, for as long as the server runs
  --refuse-code CODE the reply code for refused recipients (default: 550)
  --fail-next VERB[:COUNT[:CODE]] answer the next COUNT (1) commands VERB with CODE (451), e.g. RCPT:3:451
  --reject-logins COUNT[:CODE] fail the next COUNT logins with CODE (535)
  --drop-connection VERB[:COUNT][:after] close the connection when the next COUNT (1) commands VERB arrive;
    with :after once the command is carried out (DATA:after stores the message)
"""


def test_help_names_every_option_its_argument_and_default(run_main, monkeypatch):
    monkeypatch.setenv("PYTHON_COLORS", "0")
    status, out, _ = run_main("--help")
    usage, description, options = out.split("\n\n", 2)
    assert (status, usage.split()[:4], description) == (
        0, ["usage:", "python", "-m", "corvenda.testing"], "Development SMTP server on 127.0.0.1 that prints what arrives.")
    assert options.split() == HELP.split()


def test_a_stop_while_a_message_is_saved_comes_after_the_file(run_main, tmp_path, monkeypatch):
    """SIGTERM arrives while the message is being saved: the file is written whole, then the server stops."""
    save = _devserver._save

    def save_once_stopped(*args):
        assert wait_until(lambda: signal.SIGTERM in signal.sigpending(), 10)
        return save(*args)

    def drive(output):
        EasyMailer("127.0.0.1", port_of(output.text), "user", "password", use_ssl=False,
                   default_sender="app@example.com").send("ann@example.com", "Hi", body="x")
        output.wait(lambda: "=== Message" in output.text)

    monkeypatch.setattr(_devserver, "_save", save_once_stopped)
    status, out, err = run_main("--mode", "plain", "--save", str(tmp_path), drive=drive)
    [eml] = tmp_path.glob("*.eml")
    assert (status, err, eml.read_bytes().count(b"Subject: Hi")) == (0, "", 1)
    assert out.endswith(f"Saved {eml}\n\ncorvenda.testing: stopped after 1 message(s)\n")


def test_a_busy_port_ends_it_with_status_1(run_main):
    with socket.create_server(("127.0.0.1", 0)) as busy:
        port = busy.getsockname()[1]
        assert run_main("--port", str(port)) == (
            1, "", f"corvenda.testing: cannot listen on 127.0.0.1:{port}: Address already in use\n")
    try:  # the default port, unless something else has it already
        holder = socket.create_server(("127.0.0.1", 8025))
    except OSError:
        holder = contextlib.nullcontext()
    with holder:
        assert run_main(port=None) == (
            1, "", "corvenda.testing: cannot listen on 127.0.0.1:8025: Address already in use\n")


# (soft limit of open files, connections served at once)
CAPS = [(resource.RLIM_INFINITY, 100), (300, 100), (232, 100), (230, 99), (41, 4), (34, 1), (33, 1)]


def test_the_connection_cap_leaves_room_within_the_open_file_limit(run_main, monkeypatch):
    for soft, cap in CAPS:
        monkeypatch.setattr(resource, "getrlimit", lambda which, soft=soft: (soft, resource.RLIM_INFINITY))
        assert _devserver._connection_cap() == cap, soft
    greetings = []

    def drive(output):
        with contextlib.ExitStack() as stack:
            port = port_of(output.text)
            clients = [stack.enter_context(socket.create_connection(("127.0.0.1", port), timeout=10)) for _ in range(5)]
            greetings.extend(c.recv(200) for c in clients)

    monkeypatch.setattr(resource, "getrlimit", lambda which: (40, resource.RLIM_INFINITY))
    assert run_main("--mode", "plain", drive=drive)[2] == ""
    assert sorted(greeting[:4] for greeting in greetings) == [b"220 "] * 4 + [b"421 "]
    assert max(greetings) == b"421 4.7.0 Too many connections, try again later\r\n"


# What the summaries show: (envelope recipients, the message as sent, the summary's lines after "Session")
SHOWN = [
    (["ANN@Example.com", "cc@example.com"],
     raw_message([("To", "ann@example.com"), ("Cc", "Cc <CC@example.com>"), ("Subject", "forty lines")],
                 "\r\n".join(f"line {n}" for n in range(1, 41))),
     ["  RCPT TO   <ANN@Example.com>", "  RCPT TO   <cc@example.com>", "Headers", "  To: ann@example.com",
      "  Cc: Cc <CC@example.com>", "  Subject: forty lines", "MIME structure",
      f"{'  text/plain':<32}{351:>8} bytes", "Text part"] + [f"  line {n}" for n in range(1, 41)]),
    (["ann@example.com"],
     raw_message([("Subject", "no text"), ("MIME-Version", "1.0"), ("Content-Type", "text/html")], "<p>hi</p>"),
     ["  RCPT TO   <ann@example.com>   (Bcc: in no header)", "Headers", "  Subject: no text", "MIME structure",
      f"{'  text/html':<32}{11:>8} bytes", "Text part", "  (none)"]),
    (["ann@example.com"],
     raw_message([("Subject", "charset"), ("Content-Type", "text/plain; charset=x-no-such-charset")]),
     ["  RCPT TO   <ann@example.com>   (Bcc: in no header)", "Headers", "  Subject: charset", "MIME structure",
      f"{'  text/plain':<32}{7:>8} bytes", "Text part",
      "  (cannot decode it: LookupError: unknown encoding: x-no-such-charset)"]),
]
# A header that the standard library's header parser fails on (IndexError).
UNREADABLE = raw_message([("Cc", "=?utf-8?q?,\t:"), ("Subject", "unreadable")])


def test_each_message_is_summed_up_and_saved_under_a_name_of_its_own(run_main, tmp_path, monkeypatch):
    save = tmp_path / "new" / "mail"

    def drive(output):
        port = port_of(output.text)
        time.sleep(1)  # an idle second first: the server waits on
        EasyMailer("127.0.0.1", port, "user", "password", use_ssl=False, default_sender="app@example.com").send(
            ["ann@example.com", "Bob <bob@example.org>"], "Invoice 42", body="\n".join(map(str, range(41))),
            html="<p>x</p>", cc="cc@example.com", bcc="audit@example.com",
            attachments=[{"filename": "invoice.pdf", "data": b"%PDF-1.4"}])
        with smtplib.SMTP("127.0.0.1", port, timeout=30) as client:
            client.login("user", "password")
            for recipients, raw, _ in SHOWN:
                client.sendmail("app@example.com", recipients, raw)
            client.sendmail("app@example.com", ["ann@example.com"], UNREADABLE)
            output.wait(lambda: output.text.count("\nSaved ") == 5)
            saved = sorted(save.iterdir(), key=lambda path: path.name.split("-")[2])
            assert re.findall(r"\nSaved (\S+)", output.text) == list(map(str, saved))
            assert [re.fullmatch(r"\d{8}-\d{6}-(\d{4})-\w+\.eml", eml.name).group(1) for eml in saved] == [
                "0001", "0002", "0003", "0004", "0005"]
            assert [eml.read_bytes() for eml in saved[1:]] == [raw for _, raw, _ in SHOWN] + [UNREADABLE]
            for eml in saved:
                eml.unlink()
            save.rmdir()
            client.sendmail("app@example.com", ["ann@example.com"], raw_message([("Subject", "not saved")]))
        output.wait(lambda: "not saved" in output.errors.text)

    status, out, err = run_main("--mode", "plain", "--save", str(save), drive=drive)
    assert status == 0
    shown = re.sub(r"(received|Date:) [^\n=]+", r"\1 - ", out).split("\n\n=== ")[1:]
    assert shown[0].splitlines() == [
        "Message 1, received - " + "=" * 30, "Session    EHLO AUTH MAIL RCPT RCPT RCPT RCPT DATA  (login user, no TLS)",
        "Envelope", "  MAIL FROM <app@example.com>", "  RCPT TO   <ann@example.com>", "  RCPT TO   <bob@example.org>",
        "  RCPT TO   <cc@example.com>", "  RCPT TO   <audit@example.com>   (Bcc: in no header)",
        "Headers", "  From: app@example.com", "  To: ann@example.com, Bob <bob@example.org>", "  Subject: Invoice 42",
        "  Date: - ", "  Cc: cc@example.com",
        "MIME structure", "  multipart/mixed", "    multipart/alternative",
        "      text/plain                     112 bytes", "      text/html                        8 bytes",
        "    application/pdf                    8 bytes   attachment invoice.pdf",
        "Text part", *[f"  {n}" for n in range(40)], "  ... 1 more lines",
        f"Saved {save}/" + re.search(r"Saved \S+/(\S+)", out).group(1)]
    for number, (_, _, lines) in enumerate(SHOWN, 2):
        session = "EHLO AUTH MAIL RCPT RCPT DATA" + " MAIL RCPT DATA" * (number - 2)
        assert shown[number - 1].splitlines()[:-1] == [
            f"Message {number}, received - " + "=" * 30, f"Session    {session}  (login user, no TLS)", "Envelope",
            "  MAIL FROM <app@example.com>", *lines]
    assert shown[4].splitlines()[:2] == ["Message 5: cannot show it: IndexError: list index out of range",
                                         f"  MAIL FROM <app@example.com>, {len(UNREADABLE)} bytes"]
    assert "Subject: not saved" in shown[5] and "Saved" not in shown[5]
    assert err.startswith("Message 6 not saved: [Errno 2] No such file or directory") and err.count("\n") == 1
    assert out.endswith("stopped after 6 message(s)\n")


def test_a_summary_shows_the_session_so_far_and_a_login_only_if_there_was_one():
    with testing.SMTPServer("plain") as server:
        server.mailer().send("ann@example.com", "Hi", body="x")
        server.wait_idle()
    [received] = server.messages
    assert _devserver.summary(received, 7).splitlines()[1] == (
        "Session    EHLO AUTH MAIL RCPT DATA QUIT  (login user, no TLS)")
    anonymous = testing.ReceivedMessage("a@example.com", ["b@example.com"], received.raw, testing.Session(("", 0)))
    assert _devserver.summary(anonymous, 1).splitlines()[1] == "Session    "
