import resource, time, sys
resource.setrlimit(resource.RLIMIT_AS, (1<<30, 1<<30))
from corvenda.template import TemplateEngine
e = TemplateEngine(None)
for name, t in [
  ("mem", '{{ range(99999)|map("string")|map("center", 999999)|list|length }}'),
  ("mem2", '{{ (range(99999)|map("center", 999999)|list)|length }}'),
  ("cpu", '{% for i in range(99999) %}{{ ("x" * 999999).count("y") }}{% endfor %}'),
]:
    t0=time.time()
    try:
        r = e.render_string(t, {})
        print(name, "ok", len(r), time.time()-t0)
    except BaseException as x:
        print(name, type(x).__name__, str(x)[:150], time.time()-t0)
    sys.stdout.flush()
