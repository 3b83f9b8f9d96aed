"""Variables for every built-in template (full, required only, and a 300-character
token in every free-text variable and URL), and attacks on the template
engine's limits; shared by the template, browser and spam tests and bench/templates.py."""

import json
import os
import subprocess
import sys

from corvenda._process import child_environ

LONG = "x" * 300
LONG_URL = "https://example.com/r?t=" + "A1b2" * 69

LAYOUT = {"recipient_name": "Ann Example", "product_name": "Acme Cloud",
          "footer": "Acme Ltd, 1 Main Street, Springfield. You receive this mail because you have an account.",
          "occurred_at": "2026-03-04 05:06:07"}
TEMPLATES = {  # name: (required, optional, free-text variables)
    "notification": ({"title": "Build #742 is ready", "message": "All 12 jobs passed. The release candidate is built"
                      " and signed.\n\nThe artefacts can be downloaded for the next 30 days."},
                     {"action_url": "https://ci.example.com/builds/742", "action_text": "Open build"},
                     ("title", "message", "action_text", "action_url")),
    "verification_code": ({"code": "A7F3-K9Q2-ZX81"}, {"expires_minutes": 10}, ()),
    "password_reset": ({"reset_url": "https://example.com/reset?t=4f9a2c"}, {"expires_minutes": 30}, ("reset_url",)),
}
LAYOUT_TEXT = ("recipient_name", "product_name", "footer")


def variants(name):
    """Yield (label, variables) for the full, minimal and long-token cases."""
    required, optional, free = TEMPLATES[name]
    full = LAYOUT | required | optional
    yield "full", full
    yield "minimal", dict(required)
    yield "long", full | {k: LONG_URL if k.endswith("_url") else LONG for k in (*free, *LAYOUT_TEXT)}


CASES = [(name, label, variables) for name in TEMPLATES for label, variables in variants(name)]


# (family, payload): each ends in SecurityError under the default limits.  A
# payload starting with "file:" is rendered as a template file, others as a subject.
S, BIG = "{% set s = 'x' * 999999 %}", "{% set big = [0] * 999999 %}"
ATTACKS = [
    ("output", S + "{% for i in range(3000) %}{{ s }}{% endfor %}"),
    ("output", "file:{% for i in range(99999) %}" + "x" * 3000 + "{% endfor %}"),
    ("output", "{% set a %}xxxxxxxxxxxxxxxx{% endset %}" + "{% set a %}{{ a }}{{ a }}{% endset %}" * 40),
    ("output", "{% for i in range(99999) %}{% filter center(999999) %}x{% endfilter %}{% endfor %}"),
    ("output", "{% for i in range(99999) %}{% call dict(a='x' * 999999) %}{% endcall %}{% endfor %}"),
    ("value", S + "{{ [s] * 3000 }}"),
    ("value", S + "{{ [[s] * 3000] ~ '' }}"),
    ("value", S + "{{ ('%(a)s' * 3000) % {'a': s} }}"),
    ("value", S + "{{ ('{0}' * 3000).format(s) }}"),
    ("value", "{{ '{0:{1}}'.format('x', '>3000000000') }}"),
    ("value", "{{ '{0:{1}}'.format('x', '0' * 300 ~ '3000000000') }}"),
    ("value", "{{ '%(a(b))3000000000s' % {'a(b)': 'x'} }}"),
    ("value", "{{ ('x' * 1000).translate(['y' * 100000] * 200) }}"),
    ("value", "{% set ns = namespace(s='ab') %}{% for i in range(40) %}{% set ns.s = ns.s ~ ns.s %}{% endfor %}"),
    ("value", "file:" + S + "{% set ns = namespace() %}"
     + "".join("{%% set ns.a%d = s %%}" % i for i in range(1000)) + "{{ ns }}"),
    ("value", S + "{{ ([s] * 3000)|pprint }}{{ ([s] * 3000)|tojson }}"),
    ("value", S + "{{ ([s] * 3000)|join }}"),
    ("cpu", "{{ ([0] * 999999)|map('string')|select|list|length }}"),
    ("cpu", "{{ ('<>' * 499999)|striptags }}"),
    ("cpu", "{{ ('x' * 999999)|wordwrap(1) }}"),
    ("cpu", "{{ ('.' * 999999 ~ 'x')|urlize }}"),
    ("cpu", BIG + "{% for i in range(99999) %}{% if -1 in big %}{% endif %}{% endfor %}"),
    ("cpu", BIG + "{% for i in range(99999) %}{{ -1 is in big }}{% endfor %}"),
    ("cpu", BIG + "{% for i in range(99999) %}{{ big[1:]|length }}{% endfor %}"),
    ("cpu", "{% set b = 7 ** 11000 %}{% for i in range(99999) %}{{ (b * b) // (b + 1) % 2 }}{% endfor %}"),
    ("cpu", "{% for i in range(99999) %}{% for j in range(99999) %}{% endfor %}{% endfor %}"),
    ("cpu", "{% macro f(n) %}{% if n %}{{ f(n - 1) }}{{ f(n - 1) }}{% endif %}{% endmacro %}{{ f(40) }}"),
    ("memory", "{{ range(99999)|map('center', 999999)|list|length }}"),
    ("memory", "{% for i in range(99999) %}{% set ns = namespace(l=[[0] * 999999] * 99) %}{% endfor %}"),
    ("memory", "{{ {}.fromkeys([0] * 999999 * 2) }}"),
    ("source", "{{ a }}" * 150000),
    ("source", "file:{{ " + "a~" * 30000 + "a }}"),
    ("int", "{{ (0).from_bytes(('x' * 1000000).encode()) }}"),
    ("int", "{{ ('f' * 999999)|int(base=16) }}"),
]


# Renders one attack in a fresh interpreter that may grow 300 MB past the warmed-up
# engine and runs 10 s of CPU at most; prints the outcome, peak MB and CPU seconds.
_ATTACK_CHILD = """
import json, pathlib, resource, sys, time
from corvenda.template import TemplateEngine
payload, folder = sys.stdin.read(), sys.argv[1]
engine = TemplateEngine(None)
engine.render("notification.html", {"title": "t", "message": "m"})
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + 300 * 2**20, vm + 300 * 2**20))
resource.setrlimit(resource.RLIMIT_CPU, (10, 10))
base, start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, time.process_time()
try:
    if payload.startswith("file:"):
        pathlib.Path(folder, "t.txt").write_text(payload[5:])
        TemplateEngine(folder).render("t.txt", {})
        outcome = "rendered"
    else:
        outcome = "rendered " + repr(engine.render_string(payload, {})[:80])
except BaseException as error:
    outcome = f"{type(error).__module__}.{type(error).__name__}: {str(error)[:200]}"
peak = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024
print(json.dumps({"outcome": outcome, "peak_mb": round(peak, 1), "cpu_s": round(time.process_time() - start, 2)}))
"""


def run_attack(payload, folder, python=sys.executable):
    """Render ``payload`` in a child interpreter; return what _ATTACK_CHILD prints."""
    import corvenda

    env = child_environ(PYTHONPATH=os.path.dirname(os.path.dirname(corvenda.__file__)))
    child = subprocess.run([python, "-c", _ATTACK_CHILD, str(folder)], input=payload,
                           capture_output=True, text=True, timeout=120, env=env)
    if child.returncode != 0:
        return {"outcome": f"exit {child.returncode}: {child.stderr[-800:]}", "peak_mb": None, "cpu_s": None}
    return json.loads(child.stdout)
