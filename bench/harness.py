"""What every benchmark of bench/ shares.

  sampling       one_sample, calibrate and interleave time contenders in one
                 process, round after round in alternating order, with the
                 collector paused; paired_ratio is the median of the per-round
                 ratios with a distribution-free 95% interval
  results        Row, make_row and render_table make the printed table;
                 write_results puts a run's JSON into bench/results
  instructions   count_instructions runs commands under callgrind, in
                 parallel, and returns their instruction totals
  servers        ServerProcess starts a child process that serves on
                 127.0.0.1 and answers requests, one JSON line each; serve is
                 that child's side
  command line   command_line: an argument parser with the shared options

Importing it puts the checkout's src/ and bench/ in front of sys.path, so a
benchmark run as `python3.14 bench/NAME.py` uses the module built in src/.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
for _path in (os.path.join(REPO, "src"), HERE):
    if _path not in sys.path:
        sys.path.insert(0, _path)

from corvenda._process import child_environ  # noqa: E402

HOST = "127.0.0.1"


def script(name):
    """The path of bench/NAME, for a child process that runs it."""
    return os.path.join(HERE, name)


# -- sampling -----------------------------------------------------------------------


def one_sample(run, n):
    """Nanoseconds per iteration of `run(n)` (which returns nanoseconds), collector paused."""
    gc.collect()
    gc.disable()
    try:
        return run(n) / n
    finally:
        gc.enable()


def calibrate(runs, target_ns, max_n):
    """Iterations per sample so that the slowest contender takes about target_ns.

    Every contender is warmed up first: the first calls fill caches (compiled
    templates and patterns, imports, the mimetypes table) that later calls reuse.
    """
    slowest = 0.0
    for run in runs.values():
        run(3)
        n = 1
        while True:
            per = one_sample(run, n)
            if per * n >= target_ns / 4 or n >= max_n:
                break
            n *= 4
        slowest = max(slowest, per)
    return max(1, min(max_n, round(target_ns / slowest)))


def interleave(runs, n, rounds, budget_s=math.inf, min_rounds=3):
    """Samples (ns per iteration) of each contender, round after round.

    The order flips every round, so drift hits every contender alike.  Stops
    early after `min_rounds` once `budget_s` seconds have passed.
    """
    names = list(runs)
    samples = {name: [] for name in names}
    start = time.monotonic()
    for r in range(rounds):
        for name in names if r % 2 == 0 else reversed(names):
            samples[name].append(one_sample(runs[name], n))
        if r + 1 >= min_rounds and time.monotonic() - start > budget_s:
            break
    return samples


def paired_ratio(samples, a, b, invert=False):
    """Median of the per-round ratios a/b (b/a when `invert`), and its 95% interval.

    The interval is distribution-free: the order statistics around the
    median that a Binomial(n, 1/2) count puts 95% of the probability between.
    """
    ratios = sorted((y / x if invert else x / y) for x, y in zip(samples[a], samples[b]))
    n = len(ratios)
    j = 1  # the j-th smallest and the j-th largest bound the interval
    while j + 1 <= n - j and _binomial_tail(n, j + 1) <= 0.025:
        j += 1
    return statistics.median(ratios), (ratios[j - 1], ratios[n - j])


def _binomial_tail(n, k):
    """P(X < k) for X ~ Binomial(n, 1/2)."""
    return sum(math.comb(n, i) for i in range(k)) / 2 ** n


def spread(values):
    """Interquartile range relative to the median."""
    if len(values) < 4:
        return (max(values) - min(values)) / statistics.median(values)
    q = statistics.quantiles(values, n=4)
    return (q[2] - q[0]) / statistics.median(values)


# -- results -----------------------------------------------------------------------


@dataclass
class Row:
    figure: str           # what is measured
    unit: str
    values: dict          # contender -> median, in `unit`
    spreads: dict         # contender -> relative IQR
    samples: dict         # contender -> raw samples (ns or bytes)
    ratio: float | None = None
    interval: tuple | None = None  # 95% interval of the ratio
    versus: str | None = None   # the reference of the ratio
    target: str | None = None   # e.g. "<= 1.02"
    result: str = "info"        # met / missed / skipped / info
    note: str = ""
    id: str = ""                # stable key for comparing runs, e.g. "build.W1"

    def judge(self, op, bound):
        self.target = f"{op} {bound:.2f}"
        if self.ratio is None:
            self.result = "skipped"
            return
        ok = {"<=": self.ratio <= bound, ">=": self.ratio >= bound, "<": self.ratio < bound}[op]
        self.result = "met" if ok else "missed"


def make_row(figure, unit, samples, scale, versus="floor", lower_is_better=True):
    """A row from raw samples; `scale` turns a raw sample into `unit`."""
    values = {name: scale(statistics.median(s)) for name, s in samples.items() if s}
    spreads = {name: spread(s) for name, s in samples.items() if s}
    row = Row(figure, unit, values, spreads, samples, versus=versus)
    if versus in samples and "corvenda" in samples:
        row.ratio, row.interval = paired_ratio(samples, "corvenda", versus, invert=not lower_is_better)
    return row


def fmt(value, unit):
    if value is None:
        return "-"
    if unit in ("x 10 MB", "ratio"):
        return f"{value:.2f}"
    if value >= 1000:
        return f"{value:,.0f}"
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def render_table(rows, contenders):
    header = ["figure", "unit", *contenders, "ratio", "95% interval", "vs", "target", "result"]
    lines = []
    for row in rows:
        cells = [row.figure, row.unit]
        for name in contenders:
            if name in row.values:
                v = fmt(row.values[name], row.unit)
                s = row.spreads.get(name)
                cells.append(f"{v} ±{s * 100:.0f}%" if s is not None and s >= 0.005 else v)
            else:
                cells.append("")
        interval = f"{row.interval[0]:.3f}-{row.interval[1]:.3f}" if row.interval else ""
        cells += [f"{row.ratio:.3f}x" if row.ratio is not None else "-", interval, row.versus or "",
                  row.target or "", row.result]
        lines.append(cells)
    widths = [max(len(str(c)) for c in col) for col in zip(header, *lines)]
    out = []
    for i, cells in enumerate([header, *lines]):
        out.append("  ".join(str(c).ljust(w) if j < 2 else str(c).rjust(w)
                             for j, (c, w) in enumerate(zip(cells, widths))).rstrip())
        if i == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def git_commit():
    try:
        out = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10)
        dirty = subprocess.run(["git", "-C", REPO, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, timeout=10)
        return out.stdout.strip() + ("+dirty" if dirty.stdout.strip() else "")
    except (OSError, subprocess.SubprocessError):
        return None


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def write_results(directory, name, payload):
    """`payload` as JSON in directory/name; prints and returns the path."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        json.dump(payload, f, indent=1)
    print(f"results: {os.path.relpath(path)}")
    return path


# -- instruction counts ----------------------------------------------------------------


def count_instructions(commands, timeout=600):
    """{key: command} -> {key: instructions}: each command under callgrind, as many
    at once as there are CPUs, with a fixed hash seed (the same dict probes in
    every run).  None when valgrind is not installed."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        return None
    env = child_environ(PYTHONHASHSEED="0")
    totals = {}
    with tempfile.TemporaryDirectory(prefix="corvenda-bench-") as outdir:
        pending = [(key, os.path.join(outdir, str(i)), command)
                   for i, (key, command) in enumerate(commands.items())]
        running = []
        while pending or running:
            while pending and len(running) < (os.cpu_count() or 1):
                key, out, command = pending.pop(0)
                running.append((key, out, subprocess.Popen(
                    [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}", *command],
                    env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
            key, out, proc = running.pop(0)
            if proc.wait(timeout=timeout) != 0:
                for _, _, other in running:
                    other.kill()
                    other.wait()
                raise SystemExit(f"bench: callgrind run {key} failed")
            totals[key] = _callgrind_total(out)
    return totals


def _callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise SystemExit(f"bench: no total in {path}")


# -- server processes ------------------------------------------------------------------


class ServerProcess:
    """A child process serving on 127.0.0.1, started by `command`.

    The child (see serve) prints one JSON line saying what it serves (ports,
    CA file: `info`), then answers each request line with one JSON line
    (`ask`).  A child keeps the server's Python work off this process's
    interpreter lock, so the client side is what the timings compare.
    """

    def __init__(self, command):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=child_environ())
        line = self.proc.stdout.readline()
        if not line:
            self.close()
            raise RuntimeError(f"the server process did not start: {command}")
        self.info = json.loads(line)

    def ask(self, request):
        self.proc.stdin.write(request + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"the server process ended (status {self.proc.poll()})")
        return json.loads(line)

    def close(self):
        if self.proc.stdin:
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def serve(info, answers, lifetime_s):
    """The child's side of ServerProcess: print `info`, then answer each line
    on stdin with the JSON of answers[line](), until stdin closes, or exit
    with status 3 after lifetime_s seconds should the parent never close it."""
    timer = threading.Timer(lifetime_s, os._exit, args=(3,))
    timer.daemon = True
    timer.start()
    try:
        print(json.dumps(info), flush=True)
        for line in sys.stdin:
            print(json.dumps(answers[line.strip()]()), flush=True)
    finally:
        timer.cancel()


# -- command line ---------------------------------------------------------------------


def command_line(doc, results=False):
    """An argument parser showing `doc`; with `results`, the options of the JSON results."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    if results:
        parser.add_argument("--out", default=RESULTS, help="directory of the JSON results")
        parser.add_argument("--no-json", action="store_true", help="print only")
    return parser
