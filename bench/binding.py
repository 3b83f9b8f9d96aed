"""The cost of the binding: EasyMailer._collect_recipients("a@x", "b@x", None)
against the floor's plain function with its inner _add; target <= 0.60x."""

from harness import calibrate, interleave, make_row

import floor
from contenders import loop_collect
from corvenda import mailer as corvenda_mailer


def bench_binding(cfg):
    functions = {"corvenda": corvenda_mailer.EasyMailer._collect_recipients,
                 "floor": floor.collect_recipients}
    for fn in functions.values():
        assert fn("a@x", "b@x", None) == ["a@x", "b@x"]
    runs = {name: (lambda n, fn=fn: loop_collect(fn, n)) for name, fn in functions.items()}
    n = calibrate(runs, cfg.sample_ns, 10_000_000)
    samples = interleave(runs, n, cfg.rounds, cfg.budget_s)
    row = make_row('binding _collect_recipients("a@x", "b@x", None)', "ns/call", samples,
                   lambda ns: ns)
    row.judge("<=", 0.60)
    row.id = "binding"
    row.note = f"{n} per sample x {len(samples['corvenda'])} rounds; loop overhead included on both sides"
    return [row]
