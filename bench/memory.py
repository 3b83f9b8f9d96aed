"""Memory: peak growth while building and serialising W3, as a multiple of its
10 MB attachment: tracemalloc in this process, and ru_maxrss of a fresh child
process per sample (this file run as a script); target <= 1.02x the floor.

    python3.14 bench/memory.py CONTENDER    # the child: prints its growth as JSON
"""

import gc
import json
import os
import resource
import subprocess
import sys
import tracemalloc

from harness import make_row

import peers
from contenders import KB, MODULES, W3_SIZE, make_mailer, make_workloads, serialise


def memory_builders(peer_list):
    """Contender -> callable(workload) -> serialised message."""
    builders = {name: serialise(make_mailer(module)) for name, module in MODULES.items()}
    for p in peer_list:
        if p.build:
            builders[p.name] = p.build
    return builders


def traced_growth(build, w):
    """Bytes: tracemalloc's peak while building and serialising, over what was traced before."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        text = build(w)
        peak = tracemalloc.get_traced_memory()[1]
        del text
    finally:
        tracemalloc.stop()
    return peak - base


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def rss_child(name):
    """Child process: the ru_maxrss growth of one W3 build by contender `name`."""
    workloads = make_workloads()
    build = memory_builders(peers.load_peers())[name]
    for key in ("W1", "W2"):  # load and initialise everything the build uses
        build(workloads[key])
    gc.collect()
    before_max = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * KB
    before = current_rss()
    text = build(workloads["W3"])
    after_max = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * KB
    print(json.dumps({"growth": after_max - before, "before": before, "before_max": before_max,
                      "after_max": after_max, "length": len(text)}))


def alternating(names, rounds, measure):
    """{name: [measure(name) per round]}, the order flipping every round."""
    samples = {name: [] for name in names}
    for r in range(rounds):
        for name in names if r % 2 == 0 else reversed(names):
            samples[name].append(measure(name))
    return samples


def rss_growth(name):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), name],
                         capture_output=True, text=True, timeout=120, check=True)
    return json.loads(out.stdout)["growth"]


def bench_memory(cfg, workloads, peer_list):
    w = workloads["W3"]
    builders = memory_builders(peer_list)
    for build in builders.values():  # warm-up outside the trace
        build(workloads["W2"])
    names = list(builders)
    traced = alternating(names, cfg.memory_rounds, lambda name: traced_growth(builders[name], w))
    rows = []
    row = make_row("W3 peak memory growth (tracemalloc)", "x 10 MB", traced, lambda b: b / W3_SIZE)
    row.judge("<=", 1.02)
    row.id = "memory.W3.tracemalloc"
    row.note = f"{len(traced['corvenda'])} samples; Python allocations only"
    rows.append(row)

    rss = alternating(names, cfg.memory_rounds, rss_growth)
    row = make_row("W3 peak memory growth (ru_maxrss, child process)", "x 10 MB", rss,
                   lambda b: b / W3_SIZE)
    row.judge("<=", 1.02)
    row.id = "memory.W3.maxrss"
    row.note = (f"{len(rss['corvenda'])} samples; fresh process each; peak RSS after the build "
                "minus RSS before it")
    rows.append(row)
    return rows


if __name__ == "__main__":
    rss_child(sys.argv[1])
