"""Where the time goes, free of timing noise: instructions per call under
valgrind's callgrind (bench.py --callgrind), and cProfile tables
(bench.py --profile), for corvenda and the floor.

    python3.14 bench/instructions.py CONTENDER FIGURE N   # the child run under callgrind
"""

import cProfile
import io
import pstats
import sys

from harness import Row, count_instructions, script

from contenders import MODULES, contender_loop, make_workloads

PROFILE_N = {"W1": 2000, "W2": 300, "W3": 3, "W4": 2000, "binding": 200_000}
CALLGRIND_N = {"W1": 200, "W2": 30, "W4": 200, "binding": 20_000}


def profile(cfg, figure, workloads):
    """cProfile corvenda and the floor on one figure, heaviest functions first."""
    for name, module in MODULES.items():
        run = contender_loop(module, figure, workloads)
        run(3)
        prof = cProfile.Profile()
        prof.runcall(run, PROFILE_N[figure])
        out = io.StringIO()
        pstats.Stats(prof, stream=out).sort_stats("tottime").print_stats(cfg.profile_lines)
        print(f"==== {name}: {figure} x {PROFILE_N[figure]} ====")
        print(out.getvalue())


def callgrind_child(name, figure, n):
    """Child process under callgrind: warm up, then run the figure n times."""
    run = contender_loop(MODULES[name], figure, make_workloads())
    run(20 if figure != "binding" else 1000)
    if n:
        run(n)


def bench_instructions(cfg):
    """Instructions per message under callgrind: a cross-check free of timing noise.

    Each figure runs twice per contender, with and without the measured
    loop, in fresh processes; the difference over n is the count per call.
    """
    totals = count_instructions({
        (figure, name, count): [sys.executable, script("instructions.py"), name, figure, str(count)]
        for figure, n in CALLGRIND_N.items() for name in MODULES for count in (0, n)})
    if totals is None:
        return [Row("instructions (callgrind)", "", {}, {}, {}, result="skipped",
                    note="valgrind not found")]
    rows = []
    for figure, n in CALLGRIND_N.items():
        per = {name: (totals[figure, name, n] - totals[figure, name, 0]) / n for name in MODULES}
        unit = "Ir/call" if figure == "binding" else "kIr/msg"
        scale = 1 if figure == "binding" else 1e-3
        row = Row(f"instructions {figure} (callgrind)", unit,
                  {k: v * scale for k, v in per.items()}, {}, {k: [v] for k, v in per.items()},
                  ratio=per["corvenda"] / per["floor"], versus="floor")
        row.id = f"instructions.{figure}"
        row.note = f"{n} calls, minus a run without them; deterministic, not judged"
        rows.append(row)
    return rows


if __name__ == "__main__":
    name, figure, n = sys.argv[1:]
    callgrind_child(name, figure, int(n))
