"""Reference counts over real sends, under the debug interpreter.

    tools/check-debug tests   # builds and stages the debug module first
    tools/in-sysroot env PYTHONPATH=build/debug/stage python3.14d -P tools/refcount_sends.py
    tools/in-sysroot env FLOOR=1 PYTHONPATH=build/debug/stage python3.14d -P tools/refcount_sends.py

Sends W1-like messages in every security mode, plus a rejected login and a
refused header, to the local servers (run by bench/bench.py in a child
process), and prints sys.gettotalrefcount() growth per block of 60 rounds.
With FLOOR=1 the same calls are made by the pure-Python mailer of bench/, so
the standard library's own cache growth can be told apart from ours.
"""
import gc, json, os, subprocess, sys
import corvenda.mailer as mailer
from corvenda import SECURITY_MODES
from corvenda.mailer import EasyMailer
if os.environ.get("FLOOR"):
    sys.path.insert(0, "bench"); from floor import EasyMailer
print("module:", mailer.__file__)
proc = subprocess.Popen(["python3.14", "bench/bench.py", "--serve-smtp", "900"], stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": "src:tools"})
info = json.loads(proc.stdout.readline())
os.environ["SSL_CERT_FILE"] = info["ca_file"]
USER, PASSWORD = "mailer@corvenda.test", "s3cret: pass"
mailers = {m: EasyMailer("127.0.0.1", info["ports"][m], USER, PASSWORD, **s) for m, s in SECURITY_MODES.items()}
bad = EasyMailer("127.0.0.1", info["ports"]["plain"], USER, "wrong", use_ssl=False)
att = [{"filename": "a.csv", "data": b"x,y\n1,2\n"}]

def one_round():
    for m in mailers.values():
        m.send(["a@example.org"], "Hello", body="text", html="<p>x</p>", bcc="b@example.org", attachments=att)
    try:
        bad.send("a@example.org", "Hello", body="x")
    except Exception as e:
        assert type(e).__name__ == "SMTPAuthenticationError", e
    try:
        mailers["plain"].send("a@example.org", "Hi\r\nBcc: x", body="x")
    except Exception:
        pass

for _ in range(30):
    one_round()
gc.collect()
counts = []
for r in range(6):
    before = sys.gettotalrefcount()
    for _ in range(60):
        one_round()
    gc.collect()
    counts.append(sys.gettotalrefcount() - before)
print("growth per 60 rounds (5 sends each, 2 failing):", counts)
proc.stdin.close()
proc.stdout.close()
proc.wait()
