"""Rendering cost of the built-in templates with and without the engine's limits.

    tools/in-sysroot env PYTHONPATH=src python3.14 bench/templates.py [--rounds N]

Contenders, interleaved within every round (order flipped each round):
  bounded    corvenda.template.TemplateEngine, with its size and step limits
  unbounded  the same sandbox, options and loaders without the limits (the
             engine as it was before them)
One sample renders every built-in template (.html and .txt, full variables)
and one subject.  The figure is the median of the per-round ratios
bounded / unbounded with a distribution-free 95% interval; target <= 1.10.
With --callgrind it is also the ratio of instructions per set under
valgrind (two child runs per engine, of 10 and 110 sets, subtracted), which
is free of the timing noise of a shared machine.
"""

import argparse
import functools
import gc
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Mapping

from jinja2 import ChoiceLoader, FileSystemLoader, StrictUndefined, select_autoescape
from jinja2.sandbox import ImmutableSandboxedEnvironment

from corvenda.template import BUILTIN_DIR, TemplateEngine

LAYOUT = {"recipient_name": "Ann", "product_name": "Acme Cloud", "footer": "Acme Ltd, 1 Main Street",
          "occurred_at": "2026-03-04 05:06:07"}
CASES = [
    ("notification", {"title": "Build #742 is ready", "message": "All 12 jobs passed.\n\nArtefacts are kept 30 days.",
                      "action_url": "https://ci.example.com/builds/742", "action_text": "Open build"}),
    ("verification_code", {"code": "482913", "expires_minutes": 10}),
    ("password_reset", {"reset_url": "https://example.com/reset?t=4f9a2c", "expires_minutes": 30}),
]
SUBJECT = "[{{ product_name }}] Your notice for {{ recipient_name }}"


class UnboundedEngine:
    """TemplateEngine as it was before the limits: the same render paths and
    checks on the plain immutable sandbox."""

    def __init__(self):
        self._env = ImmutableSandboxedEnvironment(
            loader=ChoiceLoader([FileSystemLoader(BUILTIN_DIR)]), undefined=StrictUndefined,
            autoescape=select_autoescape(enabled_extensions=("html", "htm", "xml"), disabled_extensions=(),
                                         default_for_string=False, default=False),
            trim_blocks=True, lstrip_blocks=True)
        # Filters the package adds to Jinja's own (such as wraptext), as they are.
        for name, function in TemplateEngine(None)._env.filters.items():
            self._env.filters.setdefault(name, function)
        self._compile_string = functools.lru_cache(maxsize=256)(self._env.from_string)

    def render(self, name, variables=None):
        template = self._env.get_template(name)
        return template.render(_checked_variables(variables))

    def render_string(self, text, variables=None):
        if not isinstance(text, str):
            raise TypeError(f"template text must be a str, not {type(text).__name__}")
        return self._compile_string(text).render(_checked_variables(variables))


def _checked_variables(variables):
    if variables is None:
        return {}
    if not isinstance(variables, Mapping):
        raise TypeError(f"variables must be a mapping, not {type(variables).__name__}")
    return variables


def sample(engine, n):
    jobs = [(f"{name}.{ext}", LAYOUT | variables) for name, variables in CASES for ext in ("html", "txt")]
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for _ in range(n):
            for name, variables in jobs:
                engine.render(name, variables)
            engine.render_string(SUBJECT, LAYOUT)
        return (time.perf_counter_ns() - start) / n
    finally:
        gc.enable()


def interval(ratios):
    """Order-statistic 95% interval of the median (normal approximation)."""
    values, k = sorted(ratios), len(ratios)
    half = 1.96 * math.sqrt(k) / 2
    return values[max(int(k / 2 - half), 0)], values[min(int(math.ceil(k / 2 + half)), k - 1)]


def make_engine(name):
    return TemplateEngine(None) if name == "bounded" else UnboundedEngine()


def instructions(name, n, workdir):
    """Instructions of a child process that warms up and then renders n sets."""
    out = os.path.join(workdir, f"{name}.{n}.out")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    sys.executable, os.path.abspath(__file__), "--child", name, str(n)],
                   check=True, capture_output=True, timeout=600)
    with open(out) as f:
        return int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M).group(1))


def callgrind():
    if shutil.which("valgrind") is None:
        print("  --callgrind: valgrind is not installed")
        return
    with tempfile.TemporaryDirectory() as workdir:
        per_set = {name: (instructions(name, 110, workdir) - instructions(name, 10, workdir)) / 100
                   for name in ("bounded", "unbounded")}
    for name, count in per_set.items():
        print(f"  {name:10} {count / 1e6:8.3f} M instructions per set (callgrind)")
    ratio = per_set["bounded"] / per_set["unbounded"]
    print(f"  instruction ratio bounded/unbounded {ratio:.3f}  target <= 1.10: {'meets' if ratio <= 1.10 else 'misses'}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=41)
    ap.add_argument("--n", type=int, default=200, help="renders of the whole set per sample")
    ap.add_argument("--callgrind", action="store_true", help="also count instructions under valgrind (about 1 min)")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        engine = make_engine(args.child[0])
        sample(engine, 5)
        sample(engine, int(args.child[1]))
        return
    engines = {name: make_engine(name) for name in ("bounded", "unbounded")}
    first = {name: [e.render(f"{name}.{x}", LAYOUT | v) for x in ("html", "txt")] for name, v in CASES
             for e in [engines["bounded"]]}
    again = {name: [engines["unbounded"].render(f"{name}.{x}", LAYOUT | v) for x in ("html", "txt")] for name, v in CASES}
    assert first == again, "the two engines render differently"
    for engine in engines.values():
        sample(engine, args.n // 4)  # warm up: compile and cache every template
    times = {name: [] for name in engines}
    for r in range(args.rounds):
        for name in (list(engines) if r % 2 else list(engines)[::-1]):
            times[name].append(sample(engines[name], args.n))
    ratios = [b / u for b, u in zip(times["bounded"], times["unbounded"])]
    low, high = interval(ratios)
    per_set = {name: statistics.median(t) / 1000 for name, t in times.items()}
    print(f"one set = 6 templates + 1 subject, {args.rounds} rounds x {args.n} sets")
    for name, us in per_set.items():
        print(f"  {name:10} {us:8.1f} us per set")
    verdict = "meets" if high <= 1.10 else ("misses" if low > 1.10 else "noise (straddles)")
    print(f"  ratio bounded/unbounded {statistics.median(ratios):.3f}  95% [{low:.3f}, {high:.3f}]"
          f"  target <= 1.10: {verdict}")
    if args.callgrind:
        callgrind()


if __name__ == "__main__":
    main()
