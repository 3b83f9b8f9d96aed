"""Build and serialise: corvenda against the floor and the peers, per message.

W1-W3: _build_message(...) then msg.as_string(maxheaderlen=78), what
_do_send sends; target <= 1.02x the floor, and faster than each peer on W1
and W2.  W4: send_template with _do_send replaced by a no-op (cached
templates, rendered subject), shown only.
"""

from harness import Row, calibrate, interleave, make_row, paired_ratio

from contenders import MODULES, contender_loop, loop_peer, template_loop


def bench_build(cfg, workloads, peer_list):
    rows = []
    for key in ("W1", "W2", "W3"):
        w = workloads[key]
        runs = {name: contender_loop(module, key, workloads) for name, module in MODULES.items()}
        peer_runs = {p.name: (lambda n, b=p.build: loop_peer(b, w, n)) for p in peer_list if p.build}
        big = key == "W3"
        if big:
            # Half a second a message: the ratio gets all the rounds, the
            # peers (no target here) a few rounds of their own afterwards.
            n = 1
            for run in [*runs.values(), *peer_runs.values()]:
                run(1)
            samples = interleave(runs, n, cfg.big_rounds, 2 * cfg.budget_s)
            samples.update(interleave(peer_runs, n, cfg.big_peer_rounds, cfg.budget_s, min_rounds=1))
        else:
            runs.update(peer_runs)
            n = calibrate(runs, cfg.sample_ns, 100_000)
            samples = interleave(runs, n, cfg.rounds, cfg.budget_s)
        unit, scale = ("ms/msg", lambda ns: ns / 1e6) if big else ("µs/msg", lambda ns: ns / 1e3)
        row = make_row(f"build+serialise {key} ({w.title})", unit, samples, scale)
        row.judge("<=", 1.02)
        row.id = f"build.{key}"
        row.note = f"{n} per sample x {len(samples['corvenda'])} rounds"
        if big and peer_runs:
            row.note += f"; peers {len(samples[next(iter(peer_runs))])} rounds, not in the ratio"
        rows.append(row)
        if key in ("W1", "W2"):
            for p in peer_list:
                prow = Row(f"faster than {p.name} on {key}", "ratio", {}, {}, {}, versus=p.name)
                if p.build:
                    prow.ratio, prow.interval = paired_ratio(samples, "corvenda", p.name)
                else:
                    prow.note = f"{p.name} {p.missing}"
                prow.judge("<", 1.00)
                prow.id = f"peer.{p.name}.{key}"
                rows.append(prow)

    # W4: send_template, rendering with cached templates, then the build.
    runs = {name: template_loop(module) for name, module in MODULES.items()}
    n = calibrate(runs, cfg.sample_ns, 100_000)
    samples = interleave(runs, n, cfg.rounds, cfg.budget_s)
    row = make_row("send_template W4 (render + build, no send)", "µs/msg", samples,
                   lambda ns: ns / 1e3)
    row.id = "build.W4"
    row.note = f"{n} per sample x {len(samples['corvenda'])} rounds"
    rows.append(row)
    return rows
