"""Rendering cost of the built-in templates with and without the engine's limits,
how far real templates stay below each limit, and what attacks cost.

    tools/in-sysroot env PYTHONPATH=src python3.14 bench/templates.py [--rounds N] [--headroom] [--attacks]

Contenders, interleaved within every round (the order flipped each round):
  bounded    corvenda.template.TemplateEngine, with all its limits
  unbounded  the same sandbox, options and loaders without the limits (the
             engine as it was before them)
  plain      Jinja2's ordinary Environment (no sandbox), same options
One sample renders every built-in template (.html and .txt, full variables)
and one subject.  The figure is the median of the per-round ratios
bounded / unbounded with a distribution-free 95% interval; target <= 1.15.
With --callgrind it is also the ratio of instructions per set under
valgrind (two child runs per engine, of 10 and 60 sets, subtracted), which
is free of the timing noise of a shared machine.

--headroom renders the built-in templates (every variant of
tests/template_cases.py) and three realistic templates of a user's own and
prints, for each limit, the most any of them used.  --attacks runs every
attack of tests/template_cases.py and the largest sources the limits let
through in memory-limited children and prints the peak memory and CPU time.
"""

import argparse
import functools
import os
import re
import statistics
import sys
import tempfile
import time
from collections.abc import Mapping

from harness import REPO, command_line, count_instructions, interleave, one_sample, paired_ratio, script
from jinja2 import ChoiceLoader, Environment, FileSystemLoader, StrictUndefined, nodes, select_autoescape
from jinja2.sandbox import ImmutableSandboxedEnvironment

import corvenda.template
from corvenda.template import BUILTIN_DIR, TemplateEngine

sys.path.insert(0, os.path.join(REPO, "tests"))
import template_cases  # noqa: E402

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
    checks on the plain immutable sandbox (or, sandboxed=False, on Jinja2's
    ordinary Environment)."""

    def __init__(self, sandboxed=True):
        self._env = (ImmutableSandboxedEnvironment if sandboxed else Environment)(
            loader=ChoiceLoader([FileSystemLoader(BUILTIN_DIR)]), undefined=StrictUndefined,
            autoescape=select_autoescape(enabled_extensions=("html", "htm", "xml"), disabled_extensions=(),
                                         default_for_string=False, default=False),
            trim_blocks=True, lstrip_blocks=True)
        self._env.filters["wraptext"] = corvenda.template.wrap_text
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


JOBS = [(f"{name}.{ext}", LAYOUT | variables) for name, variables in CASES for ext in ("html", "txt")]


def render_sets(engine, n):
    """Nanoseconds `engine` takes to render the whole set n times."""
    start = time.perf_counter_ns()
    for _ in range(n):
        for name, variables in JOBS:
            engine.render(name, variables)
        engine.render_string(SUBJECT, LAYOUT)
    return time.perf_counter_ns() - start


# Templates of a user's own, as a shop or a newsletter would write them.
USER_TEMPLATES = {
    "invoice.html": """{% extends "layout.html" %}{% from "macros.html" import button %}
{% block title %}Invoice {{ number }}{% endblock %}
{% block content %}
<table style="width:100%;border-collapse:collapse;">
{% for line in lines %}
  <tr style="background:{{ loop.cycle('#fff', '#f6f6f6') }};"><td>{{ loop.index }}</td><td>{{ line.name|e }}</td>
  <td style="text-align:right;">{{ line.qty }}</td><td style="text-align:right;">{{ '%.2f'|format(line.price) }}</td>
  <td style="text-align:right;">{{ '{:,.2f}'.format(line.qty * line.price) }}</td></tr>
{% endfor %}
</table>
<p>Total: {{ '%.2f'|format(lines|sum(attribute='price')) }} {{ currency|upper }}</p>
{% if lines|selectattr('qty', 'gt', 5)|list %}<p>Bulk items: {{ lines|selectattr('qty', 'gt', 5)|map(attribute='name')|join(', ') }}</p>{% endif %}
{{ button(url, "Pay now") }}
{% endblock %}""",
    "digest.txt": """{% extends "layout.txt" %}
{% block content %}
This week on {{ product_name }}: {{ articles|length }} new articles.
{% for a in articles|sort(attribute='date', reverse=true) %}

{{ loop.index }}. {{ a.title|upper }} ({{ a.date }})
{{ a.summary|striptags|truncate(300)|wordwrap(72) }}
{{ a.url }}
{% endfor %}
{% endblock %}""",
}
USER_VARIABLES = {
    "invoice.html": {"number": "2026-0042", "currency": "eur", "url": "https://pay.example.com/i/42",
                     "lines": [{"name": f"Item <{i}> with a longer name", "qty": i % 9 + 1, "price": 9.99 + i}
                               for i in range(200)]},
    "digest.txt": {"articles": [{"title": f"Article {i}: what changed", "date": f"2026-03-{i % 28 + 1:02d}",
                                 "summary": "<p>" + "Some <b>words</b> about it. " * 40 + "</p>",
                                 "url": f"https://news.example.com/a/{i}"} for i in range(50)]},
}
USER_SUBJECT = "[{{ product_name }}] Invoice {{ number }} for {{ recipient_name }}: {{ '%.2f'|format(total) }} due {{ due }}"


def headroom():
    """Print, for each limit, the most any real template used and the factor below the limit."""
    with tempfile.TemporaryDirectory() as folder:
        for name, text in USER_TEMPLATES.items():
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        engine = TemplateEngine(folder)
        jobs = [(f"built-in {t}.{x} ({label})", f"{t}.{x}", v)
                for t, label, v in template_cases.CASES for x in ("html", "txt")]
        jobs += [(f"user {name}", name, template_cases.LAYOUT | USER_VARIABLES[name]) for name in USER_TEMPLATES]
        sources = [os.path.join(d, n) for d in (BUILTIN_DIR, folder) for n in os.listdir(d)]
        used = {"max_source": max(os.path.getsize(p) for p in sources),
                "max_string_source": len(USER_SUBJECT),
                "max_nodes": max(sum(1 for _ in engine._env.parse(open(p).read(), os.path.basename(p)).find_all(nodes.Node))
                                 for p in sources)}
        worst = {"max_output": 0, "max_work": 0, "max_cpu_seconds": 0.0, "max_subject_word": 0}
        for label, name, variables in jobs:
            for _ in range(2):  # the second render is the one of a compiled template
                start = time.thread_time()
                text, budget = corvenda.template._render_bounded(
                    engine, lambda: engine._env.get_template(name), variables)
                cpu = time.thread_time() - start
            row = {"max_output": engine.max_output - budget.output_left,
                   "max_work": engine.max_work - budget.work_left, "max_cpu_seconds": cpu}
            print(f"  {label:42} output {row['max_output']:7,}  work {row['max_work']:6,}  cpu {cpu * 1000:6.2f} ms")
            for key, value in row.items():
                worst[key] = max(worst[key], value)
        subject = engine.render_string(USER_SUBJECT, template_cases.LAYOUT | {"number": "2026-0042", "total": 1234.5,
                                                                           "due": "2026-04-01"})
        worst["max_subject_word"] = max(map(len, subject.split()))
        used |= worst
    print("  limit               default      most used   headroom")
    for limit, value in used.items():
        default = getattr(TemplateEngine, limit)
        factor = default / value if value else float("inf")
        shown = f"{value * 1000:.2f} ms" if limit == "max_cpu_seconds" else f"{value:,}"
        print(f"  {limit:18} {default:>10,} {shown:>14}   {factor:8,.0f}x")


# Sources as large as the limits let through, in the shape that costs most to compile.
ALLOWED_WORST = [
    ("largest subject", "{{ " + "x~" * ((TemplateEngine.max_string_source - 7) // 2) + "x }}"),
    ("largest file", "file:{{ " + "x~" * (TemplateEngine.max_nodes - 3) + "x }}"),  # max_nodes nodes
]


def attacks():
    """Print the outcome, peak memory and CPU time of every attack."""
    print(f"  {'family':8} {'peak MB':>8} {'CPU s':>6}  outcome")
    with tempfile.TemporaryDirectory() as folder:
        for family, payload in template_cases.ATTACKS + ALLOWED_WORST:
            result = template_cases.run_attack(payload, folder)
            outcome = re.sub(r"^jinja2\.exceptions\.SecurityError: ", "", result["outcome"])
            limit = re.search(r"\b(max_\w+)", outcome)
            shown = limit.group(1) if limit and outcome != result["outcome"] else outcome[:60]
            print(f"  {family:16} {result['peak_mb']!s:>8} {result['cpu_s']!s:>6}  {shown}  {payload[:50]!r}")


ENGINES = ("bounded", "unbounded", "plain")


def make_engine(name):
    return TemplateEngine(None) if name == "bounded" else UnboundedEngine(sandboxed=name == "unbounded")


def callgrind():
    """Instructions per set of each engine: child runs of 60 and of 10 sets, subtracted."""
    totals = count_instructions({(name, n): [sys.executable, script("templates.py"), "--child", name, str(n)]
                                 for name in ENGINES for n in (10, 60)})
    if totals is None:
        print("  --callgrind: valgrind is not installed")
        return
    per_set = {name: (totals[name, 60] - totals[name, 10]) / 50 for name in ENGINES}
    for name, count in per_set.items():
        print(f"  {name:10} {count / 1e6:8.3f} M instructions per set (callgrind)")
    ratio = per_set["bounded"] / per_set["unbounded"]
    print(f"  instruction ratio bounded/unbounded {ratio:.3f}  target <= 1.15: {'meets' if ratio <= 1.15 else 'misses'}")
    print(f"  instruction ratio bounded/plain {per_set['bounded'] / per_set['plain']:.3f}")


def main():
    ap = command_line(__doc__)
    ap.add_argument("--rounds", type=int, default=41)
    ap.add_argument("--n", type=int, default=200, help="renders of the whole set per sample")
    ap.add_argument("--callgrind", action="store_true", help="also count instructions under valgrind (about 1 min)")
    ap.add_argument("--headroom", action="store_true", help="how far real templates stay below each limit")
    ap.add_argument("--attacks", action="store_true", help="peak memory and CPU time of every attack")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.headroom:
        headroom()
    if args.attacks:
        attacks()
    if args.headroom or args.attacks:
        return
    if args.child:
        engine = make_engine(args.child[0])
        render_sets(engine, 5)
        render_sets(engine, int(args.child[1]))
        return
    engines = {name: make_engine(name) for name in ENGINES}
    rendered = {name: [[e.render(f"{t}.{x}", LAYOUT | v) for x in ("html", "txt")] for t, v in CASES]
                for name, e in engines.items()}
    assert rendered["bounded"] == rendered["unbounded"] == rendered["plain"], "the engines render differently"
    runs = {name: functools.partial(render_sets, engine) for name, engine in engines.items()}
    for run in runs.values():
        one_sample(run, args.n // 4)  # warm up: compile and cache every template
    times = interleave(runs, args.n, args.rounds)
    per_set = {name: statistics.median(t) / 1000 for name, t in times.items()}
    print(f"one set = 6 templates + 1 subject, {args.rounds} rounds x {args.n} sets")
    for name, us in per_set.items():
        print(f"  {name:10} {us:8.1f} us per set")
    for other, target in (("unbounded", 1.15), ("plain", None)):
        ratio, (low, high) = paired_ratio(times, "bounded", other)
        verdict = ""
        if target:
            verdict = "meets" if high <= target else ("misses" if low > target else "noise (straddles)")
            verdict = f"  target <= {target}: {verdict}"
        print(f"  ratio bounded/{other} {ratio:.3f}  95% [{low:.3f}, {high:.3f}]{verdict}")
    if args.callgrind:
        callgrind()


if __name__ == "__main__":
    main()
