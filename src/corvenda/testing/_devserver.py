"""A development SMTP server that shows every message an application sends.

    python -m corvenda.testing [--mode starttls] [--port 8025] [--user U --password P] [--save DIR]
                               [--ca-dir DIR] [fault options]

It listens on 127.0.0.1, requires the login given (default user/password)
and, in modes "starttls" and "ssl", presents a certificate from a CA made
for this run (or kept in --ca-dir across runs); it prints that CA file and
how to trust it.  Each arriving message is printed as a summary: envelope,
headers, MIME tree and text part.  With --save DIR each message is also
written to DIR as an .eml file of a name of its own.  A message that cannot
be shown or saved is reported and the server goes on.  The fault options arm
the faults of SMTPServer at start: --refuse-recipients, --fail-next,
--reject-logins and --drop-connection.  Ctrl-C (SIGINT) or SIGTERM stops the
server; the exit status is then 0.  A port in use ends it at once with
status 1.
"""

from __future__ import annotations

import argparse
import datetime
import os
import queue
import resource
import signal
import sys
import tempfile
from email.message import EmailMessage
from types import FrameType
from typing import Any, cast

import corvenda
from corvenda import SECURITY_MODES

from ._authority import Authority
from ._protocol import _verb
from ._records import ReceivedMessage
from ._server import MODES, Mode, SMTPServer

__all__ = ["main", "summary"]

# Headers describing the MIME structure, shown in the tree instead.
STRUCTURAL = frozenset({"content-type", "mime-version", "content-transfer-encoding"})
TEXT_LINES = 40

MODE_NOTES = {
    "plain": "no TLS, login required",
    "starttls": "STARTTLS and login required",
    "ssl": "implicit TLS, login required",
}


class _ReportingServer(SMTPServer):
    """Hands each accepted message, with its session's commands so far, to the main thread."""

    def __init__(self, mode: Mode, arrivals: queue.Queue[tuple[ReceivedMessage, list[str]]], *, credentials: tuple[str, str],
                 port: int, authority: Authority) -> None:
        super().__init__(mode, credentials=credentials, port=port, authority=authority)
        self._arrivals = arrivals
        self.max_connections = _connection_cap()

    def _arrived(self, message: ReceivedMessage) -> None:
        self._arrivals.put((message, list(message.session.commands)))


def _mime_tree(part: EmailMessage, depth: int = 1) -> list[str]:
    label = "  " * depth + part.get_content_type()
    if part.is_multipart():
        lines = [label]
        for child in part.iter_parts():
            lines += _mime_tree(cast(EmailMessage, child), depth + 1)
        return lines
    size = len(part.get_payload(decode=True))  # a part that is not multipart: bytes
    name = part.get_filename()
    return [f"{label:<32}{size:>8} bytes" + (f"   attachment {name}" if name else "")]


def _header_addresses(message: EmailMessage) -> set[str]:
    found = set()
    for name in ("To", "Cc"):
        for value in message.get_all(name, []):
            for address in value.addresses:  # To and Cc parse as address headers
                found.add(address.addr_spec.lower())
    return found


def summary(received: ReceivedMessage, number: int, commands: list[str] | None = None) -> str:
    """A readable account of one message: session, envelope, headers, MIME tree and text part.

    ``commands`` are the session's commands to show (default: all so far).
    """
    message = received.message
    session = received.session
    if commands is None:
        commands = session.commands
    in_headers = _header_addresses(message)
    lines = [f"=== Message {number}, received {datetime.datetime.now():%H:%M:%S} "
             + "=" * 30,
             f"Session    {' '.join(commands)}"
             + (f"  (login {session.login}" + (", TLS)" if session.tls_at_auth else ", no TLS)")
                if session.login else ""),
             "Envelope",
             f"  MAIL FROM <{received.envelope_from}>"]
    for address in received.envelope_to:
        hidden = "   (Bcc: in no header)" if address.lower() not in in_headers else ""
        lines.append(f"  RCPT TO   <{address}>{hidden}")
    lines.append("Headers")
    lines += [f"  {name}: {value}" for name, value in message.items() if name.lower() not in STRUCTURAL]
    lines.append("MIME structure")
    lines += _mime_tree(message)
    lines.append("Text part")
    body = message.get_body(("plain",))
    if body is None:
        lines.append("  (none)")
        return "\n".join(lines)
    try:
        content = body.get_content()
    except (LookupError, ValueError) as error:  # an unknown charset, a broken encoding
        lines.append(f"  (cannot decode it: {type(error).__name__}: {error})")
    else:
        text = str(content).strip().splitlines()
        lines += [f"  {line}".rstrip() for line in text[:TEXT_LINES]]
        if len(text) > TEXT_LINES:
            lines.append(f"  ... {len(text) - TEXT_LINES} more lines")
    return "\n".join(lines)


def _save(received: ReceivedMessage, directory: str, number: int) -> str:
    """Write the message to a new file in ``directory``; never replaces or follows an existing one."""
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    fd, path = tempfile.mkstemp(prefix=f"{stamp}-{number:04d}-", suffix=".eml", dir=directory)
    with os.fdopen(fd, "wb") as out:
        out.write(received.raw)
    return path


def _show(received: ReceivedMessage, number: int, commands: list[str], save: str | None) -> None:
    """Print one message and save it; a failure of either is reported, never raised."""
    try:
        text = summary(received, number, commands)
    except Exception as error:  # one bad message must not stop the server
        text = (f"=== Message {number}: cannot show it: {type(error).__name__}: {error}\n"
                f"  MAIL FROM <{received.envelope_from}>, {len(received.raw)} bytes")
    print("\n" + text, flush=True)
    if save:
        try:
            print(f"Saved {_save(received, save, number)}", flush=True)
        except OSError as error:
            print(f"Message {number} not saved: {error}", file=sys.stderr)  # line-buffered


def _connection_cap() -> int:
    """Connections to serve at once: within the open-file limit, so accept() keeps working."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return SMTPServer.max_connections
    return max(1, min(SMTPServer.max_connections, (soft - 32) // 2))


def _banner(server: SMTPServer, user: str, password: str, save: str | None, kept_ca: bool,
            faults: list[str]) -> str:
    security = ", ".join(f"{name}={value}" for name, value in SECURITY_MODES[server.mode].items())
    lines = [f"corvenda.testing: SMTP server on {server.host}:{server.port}, "
             f"mode {server.mode} ({MODE_NOTES[server.mode]})",
             f"Login: {user} / {password}",
             f'Mailer: EasyMailer("{server.host}", {server.port}, "{user}", "{password}", {security})']
    if server.mode != "plain":
        lines += [f"CA certificate: {server.ca_file}",
                  "  Trust it in your application's process, e.g.:",
                  f"    SSL_CERT_FILE={server.ca_file} python3 your_app.py",
                  "  (ssl.create_default_context() reads SSL_CERT_FILE; "
                  + ("the CA is kept for the next run with this --ca-dir)" if kept_ca
                     else "the file is removed when this server stops; --ca-dir DIR keeps one CA across runs)")]
    if save:
        lines.append(f"Saving each message to {save}/ as an .eml file")
    if faults:
        lines += ["Faults armed:"] + [f"  {fault}" for fault in faults]
    lines.append("Press Ctrl-C to stop.")
    return "\n".join(lines)


def _number(text: str, what: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be a number, not {text!r}") from None


def _verb_of(text: str) -> str:
    try:
        return _verb(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _fail_next(text: str) -> dict[str, Any]:
    """VERB[:COUNT[:CODE]] -> keyword arguments of SMTPServer.fail_next."""
    verb, *rest = text.split(":")
    if len(rest) > 2:
        raise argparse.ArgumentTypeError(f"expected VERB[:COUNT[:CODE]], not {text!r}")
    fault: dict[str, Any] = {"command": _verb_of(verb)}
    if rest:
        fault["count"] = _number(rest[0], "COUNT")
    if len(rest) > 1:
        fault["code"] = _number(rest[1], "CODE")
    return fault


def _drop_connection(text: str) -> dict[str, Any]:
    """VERB[:COUNT][:after] -> keyword arguments of SMTPServer.drop_connection."""
    verb, *rest = text.split(":")
    fault: dict[str, Any] = {"command": _verb_of(verb)}
    if rest and rest[-1].lower() == "after":
        fault["after"] = True
        rest.pop()
    if len(rest) > 1:
        raise argparse.ArgumentTypeError(f"expected VERB[:COUNT][:after], not {text!r}")
    if rest:
        fault["count"] = _number(rest[0], "COUNT")
    return fault


def _reject_logins(text: str) -> dict[str, Any]:
    """COUNT[:CODE] -> keyword arguments of SMTPServer.reject_logins."""
    count, _, code = text.partition(":")
    fault: dict[str, Any] = {"count": _number(count, "COUNT")}
    if code:
        fault["code"] = _number(code, "CODE")
    return fault


def _arm(server: SMTPServer, args: argparse.Namespace) -> list[str]:
    """Arm the faults given on the command line; returns a line describing each."""
    armed = []
    if args.refuse_recipients:
        server.refuse_recipients(*args.refuse_recipients, code=args.refuse_code)
        armed.append(f"RCPT refused with {args.refuse_code} for {', '.join(args.refuse_recipients)}")
    for fault in args.fail_next:
        server.fail_next(**fault)
        armed.append(f"the next {fault.get('count', 1)} {fault['command']} answered with {fault.get('code', 451)}")
    for fault in args.reject_logins:
        server.reject_logins(**fault)
        armed.append(f"the next {fault['count']} login(s) rejected with {fault.get('code', 535)}")
    for fault in args.drop_connection:
        server.drop_connection(**fault)
        when = "after carrying it out" if fault.get("after") else "unanswered"
        armed.append(f"the connection dropped at the next {fault.get('count', 1)} {fault['command']}, {when}")
    return armed


STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def _interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def main(argv: list[str] | None = None) -> int:
    """Run the development server until Ctrl-C; returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m corvenda.testing",
                                     description="Development SMTP server on 127.0.0.1 that prints what arrives.")
    parser.add_argument("--mode", choices=MODES, default="starttls", help="security mode (default: starttls)")
    parser.add_argument("--port", type=int, default=8025, help="port on 127.0.0.1 (default: 8025; 0: any free)")
    parser.add_argument("--user", default="user", help="login user name (default: user)")
    parser.add_argument("--password", default="password", help="login password (default: password)")
    parser.add_argument("--save", metavar="DIR", help="write each message to DIR as an .eml file")
    parser.add_argument("--version", action="version", version=f"corvenda {corvenda.__version__}")
    parser.add_argument("--ca-dir", metavar="DIR",
                        help="keep the CA (ca.pem, ca-key.pem) in DIR and use it again on every start")
    faults = parser.add_argument_group("faults", "armed at start, as by the SMTPServer methods of the same names")
    faults.add_argument("--refuse-recipients", metavar="ADDRESS", nargs="+", action="extend", default=[],
                        help="refuse RCPT for these addresses, for as long as the server runs")
    faults.add_argument("--refuse-code", metavar="CODE", type=int, default=550,
                        help="the reply code for refused recipients (default: 550)")
    faults.add_argument("--fail-next", metavar="VERB[:COUNT[:CODE]]", type=_fail_next, action="append", default=[],
                        help="answer the next COUNT (1) commands VERB with CODE (451), e.g. RCPT:3:451")
    faults.add_argument("--reject-logins", metavar="COUNT[:CODE]", type=_reject_logins, action="append",
                        default=[], help="fail the next COUNT logins with CODE (535)")
    faults.add_argument("--drop-connection", metavar="VERB[:COUNT][:after]", type=_drop_connection,
                        action="append", default=[],
                        help="close the connection when the next COUNT (1) commands VERB arrive; "
                             "with :after once the command is carried out (DATA:after stores the message)")
    args = parser.parse_args(argv)
    if args.save:
        os.makedirs(args.save, exist_ok=True)

    # Ctrl-C stops the server even when started with SIGINT ignored (as by `cmd &` in a script).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _interrupt)
    arrivals: queue.Queue[tuple[ReceivedMessage, list[str]]] = queue.Queue()
    count = 0
    with Authority(args.ca_dir) as authority:
        server = _ReportingServer(args.mode, arrivals, credentials=(args.user, args.password),
                                  port=args.port, authority=authority)
        try:
            armed = _arm(server, args)
        except ValueError as error:
            parser.error(str(error))
        try:
            server.start()
        except OSError as error:
            print(f"corvenda.testing: cannot listen on 127.0.0.1:{args.port}: {os.strerror(error.errno) if error.errno else error}",
                  file=sys.stderr)
            return 1
        try:
            print(_banner(server, args.user, args.password, args.save, bool(args.ca_dir), armed), flush=True)
            while True:
                try:
                    received, commands = arrivals.get(timeout=0.5)
                except queue.Empty:
                    continue
                count += 1
                # Ctrl-C or SIGTERM while a message is shown and saved takes
                # effect after it: a stop never leaves half a file behind.
                held = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
                try:
                    _show(received, count, commands, args.save)
                finally:
                    signal.pthread_sigmask(signal.SIG_SETMASK, held)
        except KeyboardInterrupt:
            print(f"\ncorvenda.testing: stopped after {count} message(s)", flush=True)
        finally:
            server.stop()
    return 0
