"""Benchmarks of corvenda.mailer against a pure-Python floor and peer libraries.

    make bench
    tools/in-sysroot env PYTHONPATH=src:tools python3.14 bench/bench.py [--quick]

Contenders run in one process, interleaved within every round (the order
flips from one round to the next so drift hits both sides alike), with
gc.collect() before and the collector paused during each sample.  Figures
are medians over rounds; a ratio is the median of the per-round ratios of
corvenda to its reference, so both sides of a ratio come from the same
stretch of time.

Contenders (contenders.py)
  corvenda    corvenda.mailer.EasyMailer
  floor       bench/floor.py: the same standard-library calls written in Python
  Django      EmailMultiAlternatives(...).message().as_string()    } only where
  Flask-Mail  Message(...).as_string() in an app context           } importable

Figures
  build       (building.py) _build_message(...) + msg.as_string(maxheaderlen=78)
              per message (the serialisation _do_send uses), W1-W3;
              W4 is send_template with _do_send replaced by a no-op
  binding     (binding.py) EasyMailer._collect_recipients("a@x", "b@x", None)
              per call
  delivery    (delivery.py) messages/s, W1 sent sequentially, one connection
              each, against aiosmtpd with AUTH (corvenda.testing) in a child
              process, per security mode
  memory      (memory.py) peak memory growth while building and serialising
              W3, as a multiple of the attachment size: tracemalloc in this
              process, and ru_maxrss of a fresh child process per sample
  instructions  (instructions.py, --callgrind) instructions per call under
              valgrind, a cross-check of the build and binding ratios free of
              timing noise

Results are printed as a table and written to bench/results/<time>.json.
"""

import argparse
import os
import platform
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timezone

from harness import command_line, git_commit, render_table, write_results

import peers
from binding import bench_binding
from building import bench_build
from contenders import check_floor_matches, make_workloads
from delivery import bench_delivery, serve_smtp
from instructions import bench_instructions, profile
from memory import bench_memory

SECTIONS = ("build", "binding", "delivery", "memory")
OPTIONAL_SECTIONS = ("instructions",)  # only when asked for


@dataclass
class Config:
    rounds: int = 41            # rounds of the microsecond figures
    big_rounds: int = 31        # rounds of W3, corvenda and the floor (one message per sample)
    big_peer_rounds: int = 5    # rounds of W3 for the peers
    sample_ns: float = 20e6     # aimed length of one sample
    budget_s: float = 45.0      # a figure stops adding rounds after this
    sends: int = 12             # sends per delivery sample
    delivery_rounds: int = 25
    memory_rounds: int = 3
    profile_lines: int = 30


QUICK = Config(rounds=9, big_rounds=7, big_peer_rounds=1, sample_ns=10e6, budget_s=10.0, sends=5,
               delivery_rounds=9, memory_rounds=1)


def parse_args(argv):
    ap = command_line(__doc__, results=True)
    ap.add_argument("--quick", action="store_true", help="fewer and shorter samples (about 20 s)")
    ap.add_argument("--rounds", type=int, help="rounds of the microsecond figures")
    ap.add_argument("--only", help="comma-separated sections among "
                    f"{', '.join(SECTIONS + OPTIONAL_SECTIONS)}")
    ap.add_argument("--callgrind", action="store_true",
                    help="add instruction counts under valgrind (about two minutes more)")
    ap.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    ap.add_argument("--profile", choices=("W1", "W2", "W3", "W4", "binding"),
                    help="cProfile corvenda and the floor on one figure instead of benchmarking")
    # The local servers of the delivery figures, alone (tools/refcount_sends.py uses them).
    ap.add_argument("--serve-smtp", type=float, help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.serve_smtp is not None:
        return serve_smtp(args.serve_smtp)

    cfg = Config(**QUICK.__dict__) if args.quick else Config()
    if args.rounds:
        cfg.rounds = args.rounds
    sections = SECTIONS if not args.only else tuple(s.strip() for s in args.only.split(","))
    if args.callgrind:
        sections += ("instructions",)
    unknown = set(sections) - set(SECTIONS + OPTIONAL_SECTIONS)
    if unknown:
        raise SystemExit(f"bench: unknown section(s): {', '.join(sorted(unknown))}")

    workloads = make_workloads()
    if args.profile:
        return profile(cfg, args.profile, workloads)

    peer_list = peers.load_peers()
    check_floor_matches(workloads)

    started = datetime.now(timezone.utc)
    t0 = time.monotonic()
    rows = []
    if "build" in sections:
        rows += bench_build(cfg, workloads, peer_list)
    if "binding" in sections:
        rows += bench_binding(cfg)
    if "delivery" in sections:
        rows += bench_delivery(cfg, workloads)
    if "memory" in sections:
        rows += bench_memory(cfg, workloads, peer_list)
    if "instructions" in sections:
        rows += bench_instructions(cfg)
    elapsed = time.monotonic() - t0

    contenders = ["corvenda", "floor", *[p.name for p in peer_list if p.build]]
    print(f"corvenda.mailer benchmark  {started:%Y-%m-%d %H:%M:%S} UTC  commit {git_commit()}  "
          f"Python {platform.python_version()}  {platform.machine()}  {os.cpu_count()} CPUs  "
          f"{'quick' if args.quick else 'full'} run, {elapsed:.0f} s")
    for p in peer_list:
        print(f"  {p.name}: {p.version if p.build else p.missing + ' - its columns and rows are skipped'}")
    print("  values: medians (±: interquartile range / median); ratio: median of the per-round ratios")
    print("  of corvenda to 'vs' (time or memory over time or memory; for msg/s, rate over rate), with")
    print("  a distribution-free 95% interval of that median; result judges the median")
    print()
    print(render_table(rows, contenders))
    print()
    for row in rows:
        if row.note:
            print(f"  {row.figure}: {row.note}")
    missed = [row.figure for row in rows if row.result == "missed"]
    print(f"\ntargets: {sum(r.result == 'met' for r in rows)} met, {len(missed)} missed, "
          f"{sum(r.result == 'skipped' for r in rows)} skipped")

    if not args.no_json:
        write_results(args.out, f"{started:%Y%m%d-%H%M%S}{'-quick' if args.quick else ''}.json", {
            "started": started.isoformat(),
            "elapsed_s": elapsed,
            "commit": git_commit(),
            "python": sys.version,
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "quick": args.quick,
            "config": cfg.__dict__,
            "peers": {p.name: p.version if p.build else None for p in peer_list},
            "peers_missing": {p.name: p.missing for p in peer_list if not p.build},
            "rows": [row.__dict__ for row in rows],
        })
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
